// The least-squares task's host calls (arguments, counters, block counts,
// the finite-difference product, traps around callbacks, missing
// callbacks, records), its signals with the host's dispositions, the state
// snapshot, and its dense direction kinds with the truncated SVD solve on
// small Jacobians with known answers, under traps.

#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "driver/mat4_file.h"
#include "leastsq/gauss_newton_model.h"
#include "leastsq/record_setters.h"
#include "leastsq/trovik_fixture.h"
#include "leastsq/truncated_svd_solve.h"

using namespace trovik_host;
using Matrix = MatrixTemplate<double>;

namespace {

constexpr int kTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

struct TaskTest : ::testing::Test {
  FreshOptions fresh;
  Host host{sixByThree()};
  TrovikOptimizationTask task;
  Vec x{1.0, -2.0, 0.5}, r = Vec(0.0, 6);
  void SetUp() override { connect(task, host); }
  // The problem is linear: J v = rAt(at + v) - rAt(at).
  Vec rAt(const Vec& at) const { return residualsAt<Vec>(host.problem, at); }
};

TEST_F(TaskTest, EachWrapperPassesItsArgumentsAndCountsItsCallsWithoutTraps) {
  task.installHandlers();
  EXPECT_EQ(fegetexcept(), kTraps);
  const Vec v{0.5, 1.0, -1.0}, w{1, 0, 2, 0, -1, 1};
  Vec outM(0.0, 6), outN(0.0, 3), outFd(0.0, 6);
  Matrix J(6, 3);
  const IterationRecord it0{{"it", "0"}};
  // Each call, its counter and the count it hands to the host.
  const std::tuple<std::function<void()>, std::int32_t&, long> cases[] = {
      {[&] { task.Feval(x, r); }, state.residualCalls(), 0},
      {[&] { task.Jeval(x, r, J); }, state.jacobianCalls(), 0},
      {[&] { task.JVeval(x, r, v, outM); }, state.jvCalls(), 1},
      {[&] { task.VJeval(x, r, w, outN); }, state.vjCalls(), 1},
      {[&] { task.fdJVeval(x, r, v, outFd); }, state.fdJvCalls(), 0},
      {[&] { task.iterationeval(x, r, it0); }, state.iterationCalls(), 1},
  };
  for (const auto& [call, counter, count] : cases) {
    r = 0.0;
    const std::int32_t before = counter;
    call();
    EXPECT_EQ(counter, before + 1);
    EXPECT_EQ(host.seen, (Seen{3, 6, count, 0}));
    EXPECT_EQ(fegetexcept(), kTraps);
    if (&counter != &state.iterationCalls()) expectNear(r, rAt(x), 0.0);
  }
  EXPECT_EQ(J.elements[4], 3.0);
  expectNear(outM, rAt(x + v) - rAt(x), 1e-14);
  EXPECT_DOUBLE_EQ(outN[0], 6.0);  // 2 * 1 + (-1) * (-1) + 3 * 1
  expectNear(outFd, outM, 1e-7);
  task.fdJVeval(Vec(0.0, 3), r, v, outFd);  // h = 0 at the origin would divide by 0
  expectNear(outFd, outM, 1e-7);
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
    Matrix in(c.rows, c.cols), out;
    for (std::size_t i = 0; i < in.elements.size(); ++i) in.elements[i] = double(i % 5) - 1.0;
    out.elements.resize(c.outEntries);
    host.seen = {};
    if (c.count < 0) {
      EXPECT_THROW(c.vj ? task.VJevalBlock(x, r, in, out) : task.JVevalBlock(x, r, in, out),
                   std::invalid_argument);
      EXPECT_EQ(host.seen.count, -1);  // the host was not called
      continue;
    }
    c.vj ? task.VJevalBlock(x, r, in, out) : task.JVevalBlock(x, r, in, out);
    EXPECT_EQ(host.seen.count, c.count);
    // The first vector's product matches the single form.
    const std::size_t inLength = c.vj ? 6 : 3, outLength = c.vj ? 3 : 6;
    Vec first = in.elements[std::slice(0, inLength, 1)], single(0.0, outLength);
    c.vj ? task.VJeval(x, r, first, single) : task.JVeval(x, r, first, single);
    expectNear(out.elements[std::slice(0, outLength, 1)], single, 0.0);
  }
}

TEST_F(TaskTest, AMissingCallbackIsReportedAndLeavesTheOutput) {
  opts.enableExit = 0;
  task.vj = nullptr;
  Matrix block(1, 6), out(1, 3);
  out.elements = 7.0;
  for (bool single : {true, false}) {
    state.error = 0;
    testing::internal::CaptureStderr();
    single ? task.VJeval(x, r, r, out.elements) : task.VJevalBlock(x, r, block, out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: vector-Jacobian function handle is null code -1\n");
    EXPECT_EQ(state.error, -1);
    expectNear(out.elements, Vec(7.0, 3), 0.0);
  }
  EXPECT_EQ(state.vjCalls(), 2);
  EXPECT_EQ(host.productCalls, 0);
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
  static std::vector<std::string> delivered;  // key=value as the host got them
  delivered.clear();
  task.iteration = [](const double*, std::size_t, const double*, std::size_t, const void*,
                      const void*, const char** keys, const char** values, long count, void*) {
    for (long i = 0; i < count; ++i) delivered.push_back(std::string(keys[i]) + "=" + values[i]);
    return 0;
  };
  task.report(x, r, record);
  EXPECT_EQ(delivered, (std::vector<std::string>{"Er=-inf", "J=nan", "a=0.10000000000000001",
                                                 "it=4", "m=SD3"}));
  EXPECT_EQ(history.size(), 1u);
  EXPECT_EQ(history.at(0), record);
  task.iteration = nullptr;  // still counted
  task.iterationeval(x, r, record);
  EXPECT_EQ(state.iterationCalls(), 2);
}

volatile sig_atomic_t hostInterrupts = 0;
void hostSigint(int) { hostInterrupts = hostInterrupts + 1; }

TEST_F(TaskTest, SignalRequestsFromCallbacksAndBetweenThem) {
  const int signals[3] = {SIGINT, SIGUSR1, SIGUSR2};
  const SignalHandler hosts[3] = {hostSigint, SIG_DFL, SIG_DFL};
  struct sigaction saved[3] = {};  // the test program's own, back at the end
  for (int i = 0; i < 3; ++i) sigaction(signals[i], nullptr, &saved[i]);
  for (int i = 0; i < 3; ++i) signal(signals[i], hosts[i]);
  opts.enableSigIntHandler = 1;
  hostInterrupts = 0;
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
      {SIGINT, true, 1, 0, "Interupt signal caught: stop at end of iteration\n"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "signal " << s.signal << (s.inCallback ? " inside" : ""));
    testing::internal::CaptureStderr();
    raiseNext = s.inCallback ? s.signal : 0;
    s.inCallback ? task.Feval(x, r) : void(raise(s.signal));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), s.text);
    EXPECT_EQ(state.request.load(), s.request);
    EXPECT_EQ(hostInterrupts, s.hostHandled);
  }
  // The host's saved dispositions outlive a run-state reset.
  state.reset();
  EXPECT_EQ(disposition(SIGINT), &TrovikOptimizationTask::sigintHandler);
  task.restoreHost();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(disposition(signals[i]), hosts[i]);
  raise(SIGINT);
  EXPECT_EQ(hostInterrupts, 1);
  for (int i = 0; i < 3; ++i) sigaction(signals[i], &saved[i], nullptr);
}

TEST_F(TaskTest, SaveStateWritesTheCurrentPoint) {
  const ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  state.current = Vec{1.5, -2.0};
  testing::internal::CaptureStderr();
  task.saveState();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Saved state to zelk-current.mat\n");
  const Matrix saved = readMat4File("zelk-current.mat");
  EXPECT_EQ(saved.cols, 1u);
  expectNear(saved.elements, Vec{1.5, -2.0}, 0.0);
}

// The part of r in the range of J, from the dense QR and from the
// products' bidiagonalisation: the same part and the same diagonal of the
// projection, for a Jacobian of full rank and for one whose third column
// is the sum of the others (left out), at most 2n + 1 products.
TEST(TrovikRange, TheSameWithJAndWithTheProducts) {
  const Values A = {2, 1, 0, 1, 3, 1, 0, 1, 4, 1, 0, 1, -1, 2, 1, 3, -1, 2};
  Values deficient = A;
  for (std::size_t i = 0; i < 6; ++i) deficient[3 * i + 2] = A[3 * i] + A[3 * i + 1];
  const Values b = {1, -2, 0.5, 3, 0, -1};
  FreshOptions fresh;
  FpTrapGuard traps;
  for (const Values* matrix : {&A, static_cast<const Values*>(&deficient)}) {
    SCOPED_TRACE(matrix == &A ? "full rank" : "rank 2");
    Host host(linear("6x3", 6, 3, *matrix, b, {1.0, -2.0, 0.5}));
    TrovikOptimizationTask task;
    connect(task, host);
    const Vec at{1.0, -2.0, 0.5};
    Vec r(0.0, 6);
    Matrix J(6, 3);
    task.Jeval(at, r, J);
    const GaussNewtonRange dense = denseGaussNewtonRange(J, r);
    const GaussNewtonRange products = productGaussNewtonRange(task, at, r, r);
    EXPECT_LE(host.productCalls, 1 + 2 * 3);
    ASSERT_TRUE(dense.known() && products.known());
    EXPECT_EQ(dense.rank, matrix == &A ? 3u : 2u);
    EXPECT_EQ(products.rank, dense.rank);
    EXPECT_NEAR(products.inRange, dense.inRange, 1e-12 * normfro(r));
    for (std::size_t i = 0; i < 6; ++i) EXPECT_NEAR(products.leverage[i], dense.leverage[i], 1e-10);
  }
}

TEST(TrovikDirections, DenseKinds) {
  const Matrix square(2, 2, Vec{1.0, 2.0, 3.0, 4.0}), zeroColumn(2, 2, Vec{2.0, 0.0, 1.0, 0.0}),
      wide(2, 3, Vec{1.0, 0.0, 1.0, 0.0, 1.0, 0.0}), zero(2, 2);
  const Vec r{1.0, 1.0}, r2{2.0, 1.0}, rw{1.0, -1.0}, newton{1.0, -1.0}, none{0.0, 0.0};
  const double kNaN = std::nan("");
  struct Case {
    SearchDir kind;
    const Matrix& J;
    const Vec& r;
    Vec expected;  // NaN: not checked
    double tolerance;
    const char* message;  // in standard error; "": nothing written
  };
  const Case cases[] = {
      {SearchDir::SD0, square, r, {-4.0, -6.0}, 0.0, ""},
      {SearchDir::SD2, square, r, newton, 1e-14, ""},
      {SearchDir::SD3, square, r, newton, 1e-7, "Bad cond: "},  // each value shifted by 1e-9 s_0
      {SearchDir::SD4, square, r, newton, 1e-13, "Min Rank: 2 rcond 0.0669656\n"},
      // SD5 is matrix-free only; SD1 is no kind of this driver.
      {SearchDir::SD5, square, r, none, 0.0, ""},
      {SearchDir::SD1, square, r, none, 0.0, "Search dir SD1 not implemented\n"},
      // A zero column: SD3 keeps the other variable's Gauss-Newton step and
      // moves the free one by at most its shifted share; dgels sees a
      // singular R.
      {SearchDir::SD3, zeroColumn, r2, {-1.0, kNaN}, 1e-8, "Bad cond: inf"},
      {SearchDir::SD2, zeroColumn, r2, {0.0, kNaN}, 0.0, ""},
      // 2 x 3: two singular values for a minimum rank of 3; the minimum-norm
      // solution.
      {SearchDir::SD2, wide, rw, {0.0, 0.0, 0.0}, 0.0, ""},
      {SearchDir::SD4, wide, rw, {-0.5, 1.0, -0.5}, 1e-14, "Min Rank: 2 "},
      // J = 0: no singular value to divide by.
      {SearchDir::SD3, zero, r2, none, 0.0, ""},
      {SearchDir::SD4, zero, r2, none, 0.0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << sdname(c.kind) << " on " << c.J.rows << " x " << c.J.cols);
    FreshOptions fresh;
    TrovikOptimizationTask task;
    Vec r = c.r;
    const FpTrapGuard traps;
    testing::internal::CaptureStderr();
    const Vec d = task.mkSearchDir(c.kind, Vec(0.0, c.J.cols), r, c.J);
    const std::string err = testing::internal::GetCapturedStderr();
    expectNear(d, c.expected, c.tolerance);
    if (*c.message == '\0')
      EXPECT_EQ(err, "");
    else
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

TEST(TrovikDirections, TruncatedSolveBelowTheMinimumRank) {
  FpTrapGuard traps;
  // diag(4, 1e-9): with tol 1e-7 only 4 is kept; the minimum rank 2 gives
  // the second value its own size as weight.
  const DecomposedGeneralMatrix svd(Matrix(2, 2, Vec{4.0, 0.0, 0.0, 1e-9}), SvdShape::thin);
  testing::internal::CaptureStderr();
  expectNear(truncatedSVDSolve(svd, 1, Vec{8.0, 1.0}, 1e-7), Vec{2.0, 0.0}, 1e-15);
  expectNear(truncatedSVDSolve(svd, 2, Vec{8.0, 1.0}, 1e-7), Vec{2.0, 1e-9}, 1e-15);
  // Every value cut: rank 0 prints rcond 0.
  const DecomposedGeneralMatrix unit(Matrix(2, 2, Vec{1.0, 0.0, 0.0, 1.0}), SvdShape::thin);
  truncatedSVDSolve(unit, 0, Vec{1.0, 1.0}, 2.0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Rank: 1 rcond 1\nMin Rank: 1 rcond 1\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Min Rank: 2 rcond 2.5e-10\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Rank: 0 rcond 0\n"), std::string::npos) << err;
}

}  // namespace
