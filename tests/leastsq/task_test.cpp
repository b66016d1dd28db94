// The least-squares task's host calls (arguments, counters, block counts,
// the finite-difference product, traps around callbacks, missing
// callbacks, records), its signals with the host's dispositions, and the
// state snapshot.

#include <fenv.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

#include "leastsq/record_setters.h"
#include "leastsq/trovik_host.h"
#include "minimize/mat4_file.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

using namespace trovik_host;

namespace {

constexpr int kTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

struct TaskTest : ::testing::Test {
  FreshOptions fresh;
  Host host{sixByThree()};
  TrovikOptimizationTask task;
  Vec x{1.0, -2.0, 0.5};
  Vec r = Vec(0.0, 6);
  void SetUp() override { connect(task, host); }
  // r(at), from the problem itself.
  Vec residualAt(const Vec& at) const {
    const Values v = residualsAt(host.problem, Values(std::begin(at), std::end(at)));
    return Vec(v.data(), v.size());
  }
  void expectResidualsOf(const Vec& at) const {
    const Vec expected = residualAt(at);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(r[i], expected[i]) << i;
  }
};

TEST_F(TaskTest, EachWrapperPassesItsArgumentsAndCountsItsCallsWithoutTraps) {
  ASSERT_EQ(fegetexcept(), 0);
  task.installHandlers();
  EXPECT_EQ(fegetexcept(), kTraps);
  const Vec v{0.5, 1.0, -1.0}, w{1, 0, 2, 0, -1, 1};
  Vec outM(0.0, 6), outN(0.0, 3), outFd(0.0, 6);
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
      {[&] { task.fdJVeval(x, r, v, outFd); }, state.fdJvCalls(), 0},
      {[&] { task.iterationeval(x, r, IterationRecord{{"it", "0"}}); }, state.iterationCalls(), 1},
  };
  for (const Case& c : cases) {
    r = 0.0;
    host.seenTraps = -1;
    const std::int32_t before = c.counter;
    c.call();
    EXPECT_EQ(c.counter, before + 1);
    EXPECT_EQ(host.seenN, 3u);
    EXPECT_EQ(host.seenM, 6u);
    EXPECT_EQ(host.seenCount, c.count);
    EXPECT_EQ(host.seenTraps, 0);
    EXPECT_EQ(fegetexcept(), kTraps);
    if (&c.counter != &state.iterationCalls()) expectResidualsOf(x);
  }
  EXPECT_EQ(J.elements[4], 3.0);
  EXPECT_DOUBLE_EQ(outM[0], 2.0);  // 2 * 0.5 + 1 * 1
  EXPECT_DOUBLE_EQ(outN[0], 6.0);  // 2 * 1 + (-1) * (-1) + 3 * 1
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
    const int before = host.productCalls;
    auto call = [&] { c.vj ? task.VJevalBlock(x, r, in, out) : task.JVevalBlock(x, r, in, out); };
    if (c.count < 0) {
      EXPECT_THROW(call(), std::invalid_argument);
      EXPECT_EQ(host.productCalls, before);
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
  const Vec Av = times(host.problem, v);
  for (const Vec& at : {x, Vec(0.0, 3)}) {
    state.reset();
    Vec out(0.0, 6);
    task.fdJVeval(at, r, v, out);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(out[i], Av[i], 1e-7);
    EXPECT_EQ(state.fdJvCalls(), 1);
    EXPECT_EQ(state.residualCalls(), 3);
    expectResidualsOf(at);
  }
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
  EXPECT_EQ(host.productCalls, 0);
}

TEST_F(TaskTest, RecordsReachTheHostInByteOrderAndTheHistory) {
  const FpTrapGuard traps;
  IterationHistory history;
  task.history = &history;
  static std::vector<std::string> delivered;  // key=value as the host got them
  delivered.clear();
  task.iteration = [](const double*, std::size_t, const double*, std::size_t, const void*,
                      const void*, const char** keys, const char** values, long count, void*) {
    for (long i = 0; i < count; ++i) delivered.push_back(std::string(keys[i]) + "=" + values[i]);
    return 0;
  };
  IterationRecord record;
  setRecordInt(record, "it", 3);
  setRecordDouble(record, "a", 0.1);
  setRecordDouble(record, "J", std::nan(""));
  setRecordDouble(record, "Er", -INFINITY);
  setRecordInt(record, "it", 4);  // the last value stays
  record["m"] = "SD3";
  task.report(x, r, record);
  EXPECT_EQ(delivered, (std::vector<std::string>{"Er=-inf", "J=nan", "a=0.10000000000000001",
                                                 "it=4", "m=SD3"}));
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0], record);
  EXPECT_EQ(state.iterationCalls(), 1);

  task.iteration = nullptr;  // still counted
  task.iterationeval(x, r, record);
  EXPECT_EQ(state.iterationCalls(), 2);
}

volatile sig_atomic_t hostInterrupts = 0;
void hostSigint(int) { hostInterrupts = hostInterrupts + 1; }

SignalHandler disposition(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

TEST(TrovikSignals, RequestsFromCallbacksAndBetweenThem) {
  struct sigaction saved[3] = {};  // the test program's own, back at the end
  const int signals[3] = {SIGINT, SIGUSR1, SIGUSR2};
  for (int i = 0; i < 3; ++i) sigaction(signals[i], nullptr, &saved[i]);
  {
    const FreshOptions fresh({{"enableSigIntHandler", 1}});
    signal(SIGINT, hostSigint);
    signal(SIGUSR1, SIG_DFL);
    signal(SIGUSR2, SIG_DFL);
    hostInterrupts = 0;
    Host host(sixByThree());
    Vec x(0.0, 3), r(0.0, 6);
    TrovikOptimizationTask task;
    connect(task, host);
    task.installHandlers();
    int raiseNext = 0;
    host.inCallback = [&] {
      if (raiseNext != 0) raise(raiseNext);
    };
    struct Step {
      int signal;
      bool inCallback;
      int request;  // the word afterwards
      int hostHandled;
      const char* text;
    };
    const Step steps[] = {
        {SIGUSR1, true, 2, 0, "USR1 signal caught: save state at end of iteration\n"},
        {SIGUSR2, true, 3, 0, "USR2 signal caught: will stop at end of iteration\n"},
        {SIGINT, false, 1, 0, "Interupt signal caught: stop at end of iteration\n"},
        {SIGUSR1, false, 2, 0, "USR1 signal caught: save state at end of iteration\n"},
        {SIGINT, true, 2, 1, ""},  // the host's own handler takes it
    };
    for (const Step& s : steps) {
      SCOPED_TRACE(testing::Message() << "signal " << s.signal << (s.inCallback ? " inside" : ""));
      testing::internal::CaptureStderr();
      raiseNext = s.inCallback ? s.signal : 0;
      if (s.inCallback)
        task.Feval(x, r);
      else
        raise(s.signal);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), s.text);
      EXPECT_EQ(state.request.load(), s.request);
      EXPECT_EQ(hostInterrupts, s.hostHandled);
    }
    // The host's saved dispositions outlive a run-state reset.
    state.reset();
    raiseNext = SIGINT;
    task.Feval(x, r);
    EXPECT_EQ(hostInterrupts, 2);
    EXPECT_EQ(disposition(SIGINT), &TrovikOptimizationTask::sigintHandler);
    task.restoreHost();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(disposition(signals[i]), i ? SIG_DFL : &hostSigint);
    task.installHandlers();  // the task's end restores as well
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(disposition(signals[i]), i ? SIG_DFL : &hostSigint);
  for (int i = 0; i < 3; ++i) sigaction(signals[i], &saved[i], nullptr);
}

TEST(TrovikSignals, SaveStateWritesTheCurrentPoint) {
  const ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const FreshOptions fresh;
  state.current = Vec{1.5, -2.0};
  TrovikOptimizationTask task;
  testing::internal::CaptureStderr();
  task.saveState();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Saved state to zelk-current.mat\n");
  const MatrixTemplate<double> saved = readMat4File("zelk-current.mat");
  ASSERT_EQ(saved.rows, 2u);
  ASSERT_EQ(saved.cols, 1u);
  EXPECT_EQ(saved.elements[0], 1.5);
  EXPECT_EQ(saved.elements[1], -2.0);
}

}  // namespace
