// The least-squares task's host calls: arguments, counters, block counts,
// the finite-difference product, traps around callbacks, missing callbacks,
// records.

#include <fenv.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "leastsq/record_setters.h"
#include "leastsq/trovik_task.h"
#include "tests/leastsq/linear_host.h"
#include "tests/support/fp_traps.h"

using namespace trovik_test;

namespace {

constexpr int kTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

struct TaskTest : ::testing::Test {
  FreshOptions fresh;
  LinearHost host = sixByThree();
  TrovikOptimizationTask task;
  Vec x{1.0, -2.0, 0.5};
  Vec r = Vec(0.0, 6);
  void SetUp() override { connect(task, host); }
};

TEST_F(TaskTest, EachWrapperPassesItsArgumentsAndCountsItsCalls) {
  const Vec v{0.5, 1.0, -1.0}, w{1, 0, 2, 0, -1, 1};
  Vec outM(0.0, 6), outN(0.0, 3);
  MatrixTemplate<double> J(6, 3);
  struct Case {
    std::function<void()> call;
    std::int32_t& counter;
    long count;  // handed to the host
  };
  const Case cases[] = {
      {[&] { task.Feval(x, r); }, state.residualCalls(), 0},
      {[&] { task.Jeval(x, r, J); }, state.jacobianCalls(), 0},
      {[&] { task.JVeval(x, r, v, outM); }, state.jvCalls(), 1},
      {[&] { task.VJeval(x, r, w, outN); }, state.vjCalls(), 1},
  };
  const Vec residual = times(host, x) - Vec(host.b.data(), 6);
  for (const Case& c : cases) {
    r = 0.0;
    const std::int32_t before = c.counter;
    c.call();
    EXPECT_EQ(c.counter, before + 1);
    EXPECT_EQ(host.seenN, 3u);
    EXPECT_EQ(host.seenM, 6u);
    if (c.count > 0) {
      EXPECT_EQ(host.seenCount, c.count);
    }
    for (std::size_t i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(r[i], residual[i]);
  }
  EXPECT_EQ(host.calls, 4);
  EXPECT_EQ(J.elements[4], 3.0);
  EXPECT_DOUBLE_EQ(outM[0], 2.0);  // 2 * 0.5 + 1 * 1
  EXPECT_DOUBLE_EQ(outN[0], 6.0);  // 2 * 1 + (-1) * (-1) + 3 * 1
}

TEST_F(TaskTest, BlocksCountWholeVectors) {
  struct Case {
    bool vj;  // VJevalBlock, else JVevalBlock
    std::size_t rows, cols, outEntries;
    long count;  // -1: refused
  };
  const Case cases[] = {
      {true, 1, 6, 3, 1},  {true, 3, 6, 9, 3},   {true, 6, 1, 3, 1},    {true, 6, 3, 9, 3},
      {true, 5, 1, 3, -1}, {true, 3, 6, 8, -1},  {false, 3, 2, 12, 2},  {false, 2, 3, 12, 2},
      {false, 1, 3, 6, 1}, {false, 4, 1, 6, -1}, {false, 3, 2, 11, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.vj ? "VJ " : "JV ") << c.rows << " x " << c.cols);
    MatrixTemplate<double> in(c.rows, c.cols), out;
    for (std::size_t i = 0; i < in.elements.size(); ++i) in.elements[i] = double(i % 5) - 1.0;
    out.elements.resize(c.outEntries);
    const int callsBefore = host.calls;
    auto call = [&] { c.vj ? task.VJevalBlock(x, r, in, out) : task.JVevalBlock(x, r, in, out); };
    if (c.count < 0) {
      EXPECT_THROW(call(), std::invalid_argument);
      EXPECT_EQ(host.calls, callsBefore);
      continue;
    }
    call();
    EXPECT_EQ(host.seenCount, c.count);
    // The first vector's product matches the single form.
    const std::size_t inLength = c.vj ? 6 : 3, outLength = c.vj ? 3 : 6;
    Vec first = in.elements[std::slice(0, inLength, 1)], single(0.0, outLength);
    c.vj ? task.VJeval(x, r, first, single) : task.JVeval(x, r, first, single);
    for (std::size_t i = 0; i < outLength; ++i) EXPECT_DOUBLE_EQ(out.elements[i], single[i]);
  }
}

TEST_F(TaskTest, FiniteDifferenceProductMatchesAvAlsoAtTheOrigin) {
  const FpTrapGuard traps;
  const Vec v{0.5, 1.0, -1.0};
  const Vec Av = times(host, v);
  for (const Vec& at : {x, Vec(0.0, 3)}) {
    state.reset();
    Vec out(0.0, 6);
    task.fdJVeval(at, r, v, out);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(out[i], Av[i], 1e-7);
    EXPECT_EQ(state.fdJvCalls(), 1);
    EXPECT_EQ(state.residualCalls(), 3);
    const Vec residual = times(host, at) - Vec(host.b.data(), 6);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(r[i], residual[i]);
  }
}

TEST_F(TaskTest, CallbacksRunWithoutTrapsAndTheTrapsComeBack) {
  ASSERT_EQ(fegetexcept(), 0);
  task.installHandlers();
  EXPECT_EQ(fegetexcept(), kTraps);
  Vec out(0.0, 6);
  MatrixTemplate<double> J(6, 3);
  IterationRecord record{{"it", "0"}};
  const std::function<void()> calls[] = {
      [&] { task.Feval(x, r); },
      [&] { task.Jeval(x, r, J); },
      [&] { task.JVeval(x, r, x, out); },
      [&] { task.fdJVeval(x, r, x, out); },
      [&] { task.iterationeval(x, r, record); },
  };
  for (const auto& call : calls) {
    host.seenTraps = -1;
    call();
    EXPECT_EQ(host.seenTraps, 0);
    EXPECT_EQ(fegetexcept(), kTraps);
  }
  // Flags the host leaves pending do not fire under the driver's traps.
  host.inCallback = [] { feraiseexcept(FE_DIVBYZERO | FE_INVALID); };
  task.Feval(x, r);
  EXPECT_EQ(fegetexcept(), kTraps);
  // An exception out of a callback passes the guard, which re-arms.
  host.inCallback = [] { throw std::runtime_error("host failure"); };
  EXPECT_THROW(task.Feval(x, r), std::runtime_error);
  EXPECT_EQ(fegetexcept(), kTraps);
  task.restoreHost();
  EXPECT_EQ(fegetexcept(), 0);
}

TEST_F(TaskTest, AMissingCallbackIsReportedAndLeavesTheOutput) {
  opts.enableExit = 0;
  task.vj = nullptr;
  MatrixTemplate<double> block(1, 6), out(1, 3);
  out.elements = 7.0;
  for (bool single : {true, false}) {
    state.error = 0;
    testing::internal::CaptureStderr();
    single ? task.VJeval(x, r, r, out.elements) : task.VJevalBlock(x, r, block, out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: vector-Jacobian function handle is null code -1\n");
    EXPECT_EQ(state.error, -1);
    for (double e : out.elements) EXPECT_EQ(e, 7.0);
  }
  EXPECT_EQ(state.vjCalls(), 2);
  EXPECT_EQ(host.calls, 0);
}

TEST_F(TaskTest, RecordsReachTheHostInByteOrderAndTheHistory) {
  const FpTrapGuard traps;
  IterationHistory history;
  task.history = &history;
  IterationRecord record;
  setRecordInt(record, "it", 3);
  setRecordDouble(record, "a", 0.1);
  setRecordDouble(record, "J", std::nan(""));
  setRecordDouble(record, "Er", -INFINITY);
  setRecordInt(record, "it", 4);  // the last value stays
  record["m"] = "SD3";
  task.report(x, r, record);
  ASSERT_EQ(host.records.size(), 1u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Er", "-inf"}, {"J", "nan"}, {"a", "0.10000000000000001"}, {"it", "4"}, {"m", "SD3"}};
  EXPECT_EQ(host.records[0], expected);
  EXPECT_EQ(host.seenCount, 5);
  EXPECT_EQ(std::stod(host.records[0][2].second), 0.1);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0], record);
  EXPECT_EQ(state.iterationCalls(), 1);

  task.iteration = nullptr;  // still counted
  task.iterationeval(x, r, record);
  EXPECT_EQ(state.iterationCalls(), 2);
  EXPECT_EQ(host.records.size(), 1u);
}

TEST_F(TaskTest, TraceMarksAndTimesProductCalls) {
  Vec out(0.0, 6);
  struct Case {
    unsigned trace;
    const char* printed;
    bool timed;
  };
  const Case cases[] = {
      {0, "", false}, {0x10000000, "(0s)", false}, {0x100, ";", true}, {0x300, ";(3)", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    opts.trace = c.trace;
    state.lastCallbackTime() = -1.0;
    testing::internal::CaptureStdout();
    task.JVeval(x, r, x, out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(state.lastCallbackTime() >= 0.0, c.timed);
  }
}

}  // namespace
