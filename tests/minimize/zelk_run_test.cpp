// The minimisation driver through the exported entry point: the run
// frame's stop codes, records, derivative checks, arguments and resume, and
// the problems with known answers with the default options, all with the
// floating-point traps on (the host's as well as the driver's).

#include <atomic>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include "driver/mat4_file.h"
#include "driver/record_format.h"
#include "driver/state_file.h"
#include "minimize/zelk_fixtures.h"
#include "support/generated_fits.h"
#include "support/readme_text.h"

namespace {

using namespace zelk_test;

using ZelkRun = ZelkTest;

const Callbacks kGradient{}, kHessian{.hessian = true}, kProducts{.product = true},
    kObjectiveOnly{.gradient = false};

TEST_F(ZelkRun, EveryStopCodeWithItsStatus) {
  // Most runs take a step in their first iteration (the CG direction -g on
  // the quadratic), so the step and enhancement rules hold on a real step.
  // The kind SD5 has no builder: its zero direction gives no step from a
  // point that is not stationary, a stall, on which the step rules (21 to
  // 24, 26) say nothing and the rules on the point (25, 27 to 29) still hold.
  const Options noGradRel = {{"tolGradRel", -1}}, noStep = {{"sdirs", 32}};
  const auto nanFromTheFirstIteration = [](Host& h, const Record& r) {
    if (r.count("version")) h.offset = kNaN;
  };
  struct Case {
    const char* what;
    Options options;
    int code, status;
    const char* exit;
    Host host = {.offset = 1.0};
    std::vector<double> x0 = {0.25, 0.25, 0.25};
    const char* err = nullptr;  // what standard error must hold; null: no error
    bool stays = false;         // the run ends at x0
  } const cases[] = {
      {"maxrt", {{"maxrt", -1}}, 11, 1, "maxrt reached"},
      {"maxit", {{"maxit", 0}}, 12, 1, "maxit reached"},
      {"step", {{"tolStepAbs", 1e10}}, 21, 0, "tolStepAbs reached"},
      {"step rel", {{"tolStepRel", 1e10}}, 22, 0, "tolStepRel reached"},
      // ||x|| = 0 in the first iteration: the relative rule waits for the second.
      {"step rel at 0", {{"tolStepRel", 1e10}}, 22, 0, "tolStepRel reached", {.offset = 1}, {0, 0, 0}},
      {"enh", {{"tolEnhAbs", 1e10}}, 23, 0, "tolEnhAbs reached"},
      {"enh rel", {{"tolEnhRel", 1e10}}, 24, 0, "tolEnhRel reached"},
      {"enh rel, f = 0", {{"tolEnhRel", 1}}, 25, 0, "tolGradAbs reached", {}, {1, -2, 0.5}, nullptr, true},
      {"grad", {{"tolGradAbs", 1e10}}, 25, 0, "tolGradAbs reached"},
      {"grad rel", {{"tolGradRel", 1e10}}, 26, 0, "tolGradRel reached"},
      {"obj", {{"tolGradRel", -1}, {"tolObjAbs", 1e10}}, 27, 0, "tolObjAbs reached"},
      {"obj rel", {{"tolGradRel", -1}, {"tolObjAbs", -1}, {"tolObjRel", 1e10}}, 28, 0,
       "tolObjRel reached"},
      {"lim rel",
       {{"tolGradRel", -1}, {"tolObjAbs", -1}, {"tolObjRel", -1}, {"objLimit", 5}, {"tolLimRel", 1e10}},
       29, 0, "objLimRel reached"},
      {"stop file", {{"tolGradRel", -1}, {"enableStopFile", 1}}, 31, 1, "stop file exists"},
      {"answer 1", noGradRel, 32, 0, "stop code set", {.offset = 1, .answer = 1}},
      {"answer 7", noGradRel, 32, 7, "stop code set", {.offset = 1, .answer = 7}},
      {"error over tolerance", {{"enableExit", 0}}, 33, 1, "error occurred",
       {.offset = 1, .gradientError = 0.5}, {0.25, 0.25, 0.25}, "Error: gradient is incorrect: "},
      // From the second iteration on, past the checks, which report it too.
      {"NaN gradient without exit", {{"enableExit", 0}, {"tolGradRel", -1}}, 33, 1, "error occurred",
       {.offset = 1, .onRecord = [](Host& h, const Record&) { h.nanGradient = h.iterations() > 0; }},
       {0.25, 0.25, 0.25}, "stop: NaN values encountered\n"},
      {"final answer 1", {{"maxit", 0}}, 12, 0, "maxit reached", {.offset = 1, .finalAnswer = 1}},
      {"final answer 5", {{"maxit", 0}}, 12, 5, "maxit reached", {.offset = 1, .finalAnswer = 5}},
      {"no step", noStep, 34, 1, "stalled before a stationary point", {.offset = 1}, {0.25, 0.25, 0.25},
       nullptr, true},
      {"no step, step rules", {{"sdirs", 32}, {"tolStepAbs", 1}, {"tolEnhRel", 1}, {"tolGradRel", 1}},
       34, 1, "stalled before a stationary point", {.offset = 1}, {0.25, 0.25, 0.25}, nullptr, true},
      {"no step, objective target", {{"sdirs", 32}, {"tolObjAbs", 1e10}}, 27, 0, "tolObjAbs reached",
       {.offset = 1}, {0.25, 0.25, 0.25}, nullptr, true},
      // The host's own requests keep their outcomes in a stalled iteration.
      {"no step, answer 1", noStep, 32, 0, "stop code set", {.offset = 1, .answer = 1},
       {0.25, 0.25, 0.25}, nullptr, true},
      {"no step, stop file", {{"sdirs", 32}, {"enableStopFile", 1}}, 31, 1, "stop file exists",
       {.offset = 1}, {0.25, 0.25, 0.25}, nullptr, true},
      {"NaN objective", {{"checkgradient", -1}}, 35, 1, "stalled on a non-finite objective",
       {.offset = 1, .onRecord = nanFromTheFirstIteration}, {0.25, 0.25, 0.25}, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.code == 31) std::ofstream("stop.txt") << "stop\n";
    Host h = c.host;
    Outcome out;
    const std::string err = stderrOf([&] { out = run(h, c.x0, c.options); });
    if (c.err != nullptr)
      EXPECT_PRED2(contains, err, c.err);
    else
      EXPECT_FALSE(contains(err, "Error") || contains(err, "stop: ")) << err;
    std::remove("stop.txt");
    EXPECT_EQ(out.status, c.status);
    ASSERT_EQ(h.lastCode(), std::to_string(c.code));
    EXPECT_EQ(h.records.back().at("exit"), c.exit);
    // The final record carries the status before the answer to it (maxit's 1).
    EXPECT_EQ(h.records.back().at("status"), std::to_string(h.finalAnswer ? 1 : c.status));
    if (c.stays) {
      EXPECT_EQ(out.x, c.x0);
      EXPECT_EQ(std::isnan(out.f) ? 0.0 : out.f, std::isnan(out.f) ? 0.0 : h.value(c.x0.data()));
    } else {
      EXPECT_LT(out.f, quadratic().value(c.x0.data()) + c.host.offset);
    }
  }
}

TEST_F(ZelkRun, SevenRecordsInOrderAtMaxitZero) {
  Host h{.offset = 0.1};  // f at the minimiser
  Outcome out;
  const std::string err = stderrOf([&] { out = run(h, quadratic().solution, {{"maxit", 0}}); });
  EXPECT_EQ(out.status, 1);
  const std::vector<std::vector<std::string>> keys = {
      {"J", "it", "nx", "t0"},
      {"version"},
      {"OpenBLAS", "config", "core", "np", "nt", "par"},
      {"check-gradient", "ng", "tg"},
      {"Er", "J", "a", "b", "it", "m", "nu", "st", "tj"},
      {"cH", "cHfd", "cHfd2", "cHv", "cHvfd", "cHvfd2", "cS", "cW", "cf", "cg", "cgfd", "cgvfd", "co"},
      {"J", "code", "exit", "it", "status"},
  };
  ASSERT_EQ(h.records.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::vector<std::string> got;
    for (const auto& entry : h.records[i]) got.push_back(entry.first);
    EXPECT_EQ(got, keys[i]) << i;
  }
  // At the minimiser the CG direction -g is zero: no step, status bit 0x40
  // (record 4). The counters after the reset (record 5): the check's
  // objective, gradient and 6 difference calls, the iteration's start and
  // trial; the check and iteration records.
  const std::tuple<int, const char*, const char*> values[] = {
      {0, "J", "0.10000000000000001"}, {0, "nx", "3"}, {1, "version", "ZELK-2026.7.1527"},
      {4, "m", "None"}, {4, "st", "64"}, {5, "cf", "9"}, {5, "cg", "2"}, {5, "cgfd", "1"},
      {5, "co", "2"}, {6, "J", "0.10000000000000001"}};
  for (const auto& [i, key, value] : values) EXPECT_EQ(h.records[i].at(key), value) << i << key;
  EXPECT_PRED2(contains, err, "Saved state to zelk-current.mat\n");

  // With a Hessian callback the iteration record adds what its eigenvalues
  // (1, 3 and 10) say: "Hc" = min |lambda| / max |lambda| and "lh" =
  // 100 lambda_max / (lambda_max - lambda_min).
  Host hessian{.offset = 0.1};
  stderrOf([&] { run(hessian, quadratic().solution, {{"maxit", 0}}, kHessian); });
  const Record& it0 = hessian.records.at(4);
  std::vector<std::string> got;
  for (const auto& entry : it0) got.push_back(entry.first);
  EXPECT_EQ(got,
            (std::vector<std::string>{"Er", "Hc", "J", "a", "it", "lh", "m", "nu", "st", "tj"}));
  EXPECT_DOUBLE_EQ(std::stod(it0.at("Hc")), 0.1);
  EXPECT_DOUBLE_EQ(std::stod(it0.at("lh")), 1000.0 / 9.0);
}

TEST_F(ZelkRun, StartsAtTheMinimiserAndTheOriginPassTheDerivativeChecks) {
  const std::vector<double> minimiser = quadratic().solution, origin = {0, 0, 0};
  struct Case {
    const char* what;
    std::vector<double> x0;
    double checkgradient;
    Callbacks callbacks = {};
    bool writesF = true;
  } const cases[] = {
      {"minimiser", minimiser, 0},
      {"minimiser, along v", minimiser, 1},
      {"minimiser, Hessian", minimiser, 0, kHessian},
      {"minimiser, products", minimiser, 0, kProducts},
      {"origin", origin, 0},
      {"origin, Hessian", origin, 0, kHessian},
      {"origin, along v", origin, 1},
      {"f not written", origin, 0, {}, false},
      {"no gradient callback", origin, 0, kObjectiveOnly},
      {"minimiser, no gradient callback", minimiser, 0, kObjectiveOnly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h{.offset = c.x0 == minimiser ? 3.0 : 0.0, .gradientWritesF = c.writesF};
    const Outcome out =
        run(h, c.x0, {{"enableExit", 0}, {"checkgradient", c.checkgradient}}, c.callbacks);
    EXPECT_EQ(out.status, 0);
    EXPECT_LT(distance(out.x, minimiser), 1e-6);
    if (c.x0 == minimiser) {  // a start at the minimiser ends at once
      EXPECT_EQ(h.lastCode(), "25");
      EXPECT_EQ(h.iterations(), 1);
    }
    const Record& check = h.records.at(3);
    // Without a gradient callback differences stand in for the gradient:
    // nothing to check them against.
    const std::string grad = check.count("check-gradient") ? check.at("check-gradient") : "";
    EXPECT_EQ(grad.empty(), !c.callbacks.gradient);
    EXPECT_TRUE(grad.empty() || std::isfinite(std::stod(grad)));
    // Second derivatives are checked only where the host gives them; the
    // Hessian callback's gradient beside them.
    if (c.callbacks.hessian || c.callbacks.product)
      EXPECT_LT(std::stod(check.at("check-Hessian")), 1e-2);
    else
      EXPECT_EQ(check.count("check-Hessian"), 0u);
    EXPECT_EQ(check.count("check-hesseval-gradient"), c.callbacks.hessian ? 1u : 0u);
  }
}

TEST_F(ZelkRun, FailedChecksDumpWhatTheyCompared) {
  // The host's gradient is off by 0.5 in its first entry (the gradient
  // callback's, or the Hessian callback's), or its Hessian by 5 in H_00.
  // The check prints its message and writes both sides to the MAT-file
  // directory: the host's as it came, the differences' to their accuracy.
  const std::vector<double> x0 = {0.25, 0.25, 0.25};
  std::vector<double> g(3), H(9);
  quadratic().gradient(x0.data(), g.data());
  quadratic().hessian(x0.data(), H.data());
  std::vector<double> gWrong = g, HWrong = H;
  gWrong[0] += 0.5;
  HWrong[0] += 5.0;
  struct Case {
    const char* what;
    Host host;
    Callbacks callbacks;
    const char* message;
    const char *hostFile, *fdFile;
    const std::vector<double>& hostSide;
    const std::vector<double>& fdSide;
    double tolerance;  // of the differences
  } const cases[] = {
      {"gradient", {.gradientError = 0.5}, kGradient, "Error: gradient is incorrect: ", "gerr",
       "gfderr", gWrong, g, 1e-6},
      {"the Hessian callback's gradient", {.gradientError = 0.5},
       {.gradient = false, .hessian = true}, "Error: gradient is incorrect: ", "gerr", "gfderr",
       gWrong, g, 1e-6},
      {"Hessian", {.alterHessian = [](double* H, long) { H[0] += 5.0; }}, kHessian, "Error: Hessian is incorrect: ", "H-err",
       "Hfd-err", HWrong, H, 1e-2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h = c.host;
    const std::string err =
        stderrOf([&] { run(h, x0, {{"enableExit", 0}, {"maxit", 0}}, c.callbacks); });
    EXPECT_PRED2(contains, err, c.message);
    const MatrixTemplate<double> hostDump = readMat4File(c.hostFile + std::string(".mat"));
    const MatrixTemplate<double> fdDump = readMat4File(c.fdFile + std::string(".mat"));
    EXPECT_EQ(asVector(hostDump.elements), c.hostSide);
    ASSERT_EQ(fdDump.elements.size(), c.fdSide.size());
    for (std::size_t i = 0; i < c.fdSide.size(); ++i)
      EXPECT_NEAR(fdDump.elements[i], c.fdSide[i], c.tolerance) << i;
    std::remove((c.hostFile + std::string(".mat")).c_str());
    std::remove((c.fdFile + std::string(".mat")).c_str());
  }
}

TEST_F(ZelkRun, RefusedArgumentsAndInadmissibleStarts) {
  Host h;
  double x0[3] = {0.25, 0.25, 0.25}, x[3] = {-7, -7, -7}, f = -1;
  const char* names[] = {"enableExit", nullptr, "maxrt"};  // maxrt is not read
  const double values[] = {0, 0, -1};
  using Row = std::tuple<const double*, double*, long, ZelkObjectiveFn, const char*>;
  const Row rows[] = {{x0, x, 3, nullptr, "objective is a null pointer"},
                      {nullptr, x, 3, objective, "x0 is a null pointer"},
                      {x0, nullptr, 3, objective, "x is a null pointer"},
                      {x0, x, -1, objective, "n = -1 is outside"},
                      {x0, x, 1L + INT_MAX, objective, "is outside"},
                      {x0, x, 0, objective, "No variables code -1"}};
  for (const auto& [start, point, n, fn, message] : rows) {
    SCOPED_TRACE(message);
    int status = 0;
    const std::string err = stderrOf([&] {
      status = zelk(start, point, n, &f, 1, fn, gradient, nullptr, nullptr, nullptr, output, names,
                    values, 3, &h);
    });
    EXPECT_EQ(status, 1);
    EXPECT_PRED2(contains, err, message);
  }
  EXPECT_TRUE(h.records.empty());
  // m = 0: the point is written, f is not; a null name ends the options.
  EXPECT_EQ(zelk(x0, x, 3, &f, 0, objective, gradient, nullptr, nullptr, nullptr, output, names,
                 values, 3, &h),
            0);
  EXPECT_EQ(f, -1.0);
  EXPECT_NEAR(x[0], 1.0, 1e-6);

  // An inadmissible start is a failure too: nothing is written.
  for (double offset : {kInf, -kInf, kNaN}) {
    Host bad{.offset = offset};
    Outcome out;
    EXPECT_PRED2(contains, stderrOf([&] { out = run(bad); }), "Error: v0 is inadmissible\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(bad.records.size(), 3u);
    EXPECT_EQ(out.x[0], -7.0);
    EXPECT_EQ(out.f, -1.0);
  }
}

TEST_F(ZelkRun, ResumesFromTheStateFile) {
  const std::vector<double> saved = {1.5, -2.0, 4.0};
  Host h;
  Outcome out;
  const std::string err = stderrOf([&] {
    ASSERT_TRUE(saveStateFile({saved.data(), saved.size()}, "zelk-current.mat"));
    out = run(h, {}, {{"enableResume", 1}, {"maxit", 0}});
  });
  EXPECT_PRED2(contains, err, "Resume from zelk-current.mat\n");
  EXPECT_EQ(h.records[0].at("resume"), "1");
  // The one iteration starts from the saved point: its second entry is the
  // minimiser's already, and the CG direction -g keeps it.
  EXPECT_EQ(out.x[1], -2.0);
  EXPECT_LT(h.value(out.x.data()), h.value(saved.data()));
}

TEST_F(ZelkRun, NestedCallIsRefused) {
  Host inner, outer;
  int nestedStatus = -100;
  std::string nestedMessage;
  outer.onRecord = [&](Host&, const Record& r) {
    if (r.count("tj")) nestedMessage = stderrOf([&] { nestedStatus = run(inner).status; });
  };
  EXPECT_EQ(run(outer).status, 0);
  EXPECT_EQ(nestedStatus, 1);
  EXPECT_PRED2(contains, nestedMessage, "refused");
  EXPECT_TRUE(inner.records.empty());
  EXPECT_EQ(inner.counts.objective, 0);
}

// A NaN limit or tolerance switches its rule off (those where a NaN leaves
// nothing to run with are refused, tests/driver/host_controls_test.cpp).
TEST_F(ZelkRun, NanOptionsRunWithoutATrap) {
  // A NaN tolerance or limit never holds: the runs end at their iteration
  // limit, having moved.
  for (const char* name : {"tolObjAbs", "maxrt", "tolGradRel", "tolGradAbs", "objLimit"}) {
    SCOPED_TRACE(name);
    Host h;
    const Outcome out = run(h, {}, {{name, kNaN}, {"maxit", 2}});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(h.lastCode(), "12");
    EXPECT_GT(h.iterations(), 0);
  }
}

TEST(RecordFormat, NumbersAsFmtWritesThemWithoutTrapping) {
  FpTrapGuard traps;
  EXPECT_EQ(formatRecordInt(12), "12");
  const std::vector<std::pair<double, const char*>> cases = {
      {0.1, "0.10000000000000001"}, {-2.0, "-2"}, {kNaN, "nan"}, {-kNaN, "-nan"},
      {kInf, "inf"}, {-kInf, "-inf"}};
  for (const auto& [v, text] : cases) EXPECT_EQ(formatRecordDouble(v), text);
}

using ZelkKnownAnswers = ZelkTest;

TEST_F(ZelkKnownAnswers, ProblemsConvergeWithEachKind) {
  struct Case {
    const char* what;
    const Problem& problem;
    Callbacks callbacks;
    Options options;
    double tolerance;           // on max |x_i - x*_i|; on f without a solution
    long maxIterations = 1000;  // iteration records
  } const cases[] = {
      {"spd SD2, Hessian", spd5(), kHessian, {{"sdirs", 4}}, 1e-8, 3},
      {"spd SD3, Hessian", spd5(), kHessian, {{"sdirs", 8}}, 1e-8, 3},
      {"spd SD4, Hessian", spd5(), kHessian, {{"sdirs", 16}}, 1e-8, 3},
      // The products rows solve from random starts: over 2e5 runs the SD2
      // distance stayed below 3.1e-9, SD3's below 1.4e-9.
      {"spd SD2, products", spd5(), kProducts, {{"sdirs", 4}}, 1e-8},
      {"spd SD3, products", spd5(), kProducts, {{"sdirs", 8}}, 1e-8},
      {"spd SD0", spd5(), kGradient, {{"sdirs", 1}}, 1e-6},
      {"spd SD1", spd5(), kGradient, {{"sdirs", 2}}, 1e-6},
      {"rosenbrock, gradient", rosenbrock(), kGradient, {}, 1e-5},
      {"rosenbrock, Hessian", rosenbrock(), kHessian, {}, 1e-5},
      {"rosenbrock, products", rosenbrock(), kProducts, {}, 1e-5},
      {"powell, gradient", powell(), kGradient, {}, 1e-10, 5000},
      {"powell, products", powell(), kProducts, {}, 1e-10},
      {"powell, Hessian", powell(), kHessian, {}, 1e-10},
      {"diag, products", diagonal(), kProducts, {}, 1e-5},
      {"x - log x", logarithm(), kGradient, {}, 1e-6},
      {"x - log x, Hessian", logarithm(), kHessian, {}, 1e-6},
      {"objective only", spd5(), kObjectiveOnly, {}, 1e-5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h{&c.problem};
    Outcome out;
    stderrOf([&] { out = run(h, {}, c.options, c.callbacks); });
    EXPECT_EQ(out.status, 0) << h.lastCode();
    const double miss = c.problem.solution.empty() ? out.f : distance(out.x, c.problem.solution);
    EXPECT_LT(miss, c.tolerance);
    EXPECT_LE(h.iterations(), c.maxIterations);
  }
}

// Runs that stop making progress. A run whose step is zero (or too small to
// show a decrease above the rounding) at a point that is not stationary has
// stalled and fails (34, or 35 on a non-finite objective); one that cannot
// improve only because the objective's rounding hides any decrease has
// converged (with the rules on the point switched off, the zero step ends
// it by tolGradRel, 26). A direction that changes what it carries over
// (the matrix-free Newton direction's lifted shift) gets further
// iterations after a refused step.
TEST_F(ZelkKnownAnswers, StalledRunsFailAndRoundingLimitedRunsConverge) {
  const Options unchecked = {{"checkgradient", -1}, {"checkHessian", -1}};
  const Options toTheRounding = {{"tolObjAbs", -1}, {"tolObjRel", -1}, {"tolGradAbs", -1}};
  const Options fixedStep = {{"alpha", 1}};
  auto scaled = [](const std::vector<double>& x, double factor) {
    std::vector<double> y = x;
    for (double& v : y) v *= factor;
    return y;
  };
  // The first gradient the run asks for points the wrong way; the check of
  // the first iteration sees the second, which is right.
  const auto wrongSignOnce = [calls = std::make_shared<int>(0)](double* g, long n) {
    if ((*calls)++ == 0)
      for (long i = 0; i < n; ++i) g[i] = -g[i];
  };
  static const Problem meyer = sumOfSquaresProblem<residual_problems::Meyer>(),
                       watson12 = sumOfSquaresProblem<residual_problems::WatsonOf<12>>(),
                       rise = sumOfSquaresProblem<residual_problems::ExponentialRise>();
  std::vector<double> alternating(10);
  for (int i = 0; i < 10; ++i) alternating[i] = (i % 2 ? -1.0 : 1.0) * (i + 1);
  struct Case {
    const char* what;
    Host host;
    std::vector<double> x0;
    Options options;
    Callbacks callbacks;
    int code;   // 0: any code of status 0
    double f;   // the objective reached, to 1e-4 relative (0: below 1e-10)
    long maxIterations = 1000;
    double digits = 0.0;  // relative distance of x from the problem's solution, when set
  } const cases[] = {
      // The Newton kinds' lifted eigenvalues fall under resolTolerance and
      // are cut: their directions leave out the gradient's part along the
      // negative curvature, about all of it here.
      {"beale from 10 x, Hessian", {&beale()}, scaled(beale().start, 10), {}, kHessian, 34, 0.21131,
       10},
      {"wood's saddle, Hessian", {&wood()}, wood().start, {}, kHessian, 34, 7.8741, 20},
      // There the default pair is accepted but gets nowhere; the fallback
      // kinds take the next iteration and leave the saddle.
      {"wood's saddle, Hessian, fallback", {&wood()}, wood().start, {{"enableFallback", 1}},
       kHessian, 0, 0.0, 100},
      {"NaN objective from the 5th call", {.problem = &rosenbrock(), .inCallback = [](Host& h) {
         if (h.counts.objective >= 5) h.offset = kNaN;
       }}, rosenbrock().start, unchecked, kGradient, 34, 24.2, 1},
      {"gradient 1e300 too large", {.problem = &rosenbrock(), .gradientScale = 1e300},
       rosenbrock().start, unchecked, kGradient, 34, 24.2, 1},
      {"gradient 1e300 too large, Hessian", {.problem = &rosenbrock(), .gradientScale = 1e300},
       rosenbrock().start, unchecked, kHessian, 34, 24.2, 1},
      // A zero direction, and every trial raising f along a gradient of the
      // wrong sign: nothing was tried around the start, or what was tried
      // rose to first order.
      {"zero direction, fixed step", {&rosenbrock()}, rosenbrock().start,
       {{"sdirs", 32}, {"alpha", 1}}, kGradient, 34, 24.2, 1},
      {"a gradient of the wrong sign once",
       {.problem = &rosenbrock(), .alterGradient = wrongSignOnce}, rosenbrock().start, {}, kGradient,
       34, 24.2, 1},
      // The scans of the line search once went back past x without end
      // (their Armijo bound grew with the step), to x near 1e144, where
      // nothing representable was left to find.
      {"trigonometric from 100 x, gradient", {&trigonometric()}, scaled(trigonometric().start, 100),
       {}, kGradient, 0, 0.0, 200},
      {"rosenbrock, gradient", {&rosenbrock()}, rosenbrock().start, toTheRounding, kGradient, 26, 0.0},
      {"rosenbrock, Hessian", {&rosenbrock()}, rosenbrock().start, toTheRounding, kHessian, 26, 0.0},
      {"rosenbrock, products", {&rosenbrock()}, rosenbrock().start, toTheRounding, kProducts, 26, 0.0},
      {"rosenbrock, objective only", {&rosenbrock()}, rosenbrock().start, toTheRounding,
       kObjectiveOnly, 26, 0.0},
      {"beale, gradient", {&beale()}, beale().start, toTheRounding, kGradient, 26, 0.0},
      {"spd quadratic, products", {&spd5()}, spd5().start, toTheRounding, kProducts, 26, -0.271},
      // Local minima of nonzero value, whose rounding hides gradients of
      // 1e-9 (trigonometric) to 1e-6 (Freudenstein and Roth).
      {"trigonometric, gradient", {&trigonometric()}, trigonometric().start, {}, kGradient, 26,
       2.79506e-5},
      {"freudenstein-roth, gradient", {&freudensteinRoth()}, freudensteinRoth().start, {}, kGradient,
       26, 48.9842},
      // Minima of badly conditioned Hessians, where the Newton direction
      // lies nearly at right angles to a gradient that is not small: the
      // Hessian (or the products' Newton direction) shows nothing left.
      {"meyer, Hessian", {&meyer}, meyer.start, {}, kHessian, 26, 87.9458, 300},
      {"meyer, products", {&meyer}, meyer.start, {}, kProducts, 26, 87.9458, 300},
      {"watson n = 12, Hessian", {&watson12}, watson12.start, {}, kHessian, 0, 4.72238e-10, 50},
      {"exponential rise, Hessian", {&rise}, rise.start, {}, kHessian, 26, 0.0212592, 50, 1e-8},
      {"exponential rise from near, Hessian", {&rise}, {250, 5e-4}, {}, kHessian, 26, 0.0212592, 50,
       1e-8},
      // The matrix-free Newton direction's shift changes from one
      // iteration to the next: refused fixed steps are retried.
      {"powell, products, fixed step", {&powell()}, powell().start, fixedStep, kProducts, 0, 0.0,
       40},
      {"ill-conditioned quadratic, products, fixed step", {&illConditioned()},
       illConditioned().start, fixedStep, kProducts, 25, 1.0, 40},
      {"the same from 3", {&illConditioned()}, std::vector<double>(10, 3.0), fixedStep, kProducts,
       25, 1.0, 40},
      {"the same from (1, -2, 3, ...)", {&illConditioned()}, alternating, fixedStep, kProducts, 25,
       1.0, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h = c.host;
    Outcome out;
    stderrOf([&] { out = run(h, c.x0, c.options, c.callbacks); });
    const bool stall = c.code == 34 || c.code == 35;
    EXPECT_EQ(out.status, stall ? 1 : 0) << h.lastCode();
    if (c.code != 0) {
      EXPECT_EQ(h.lastCode(), std::to_string(c.code));
    }
    if (c.code == 34) {
      EXPECT_EQ(h.records.back().at("exit"), "stalled before a stationary point");
    }
    if (c.f == 0.0) {
      EXPECT_LT(out.f, 1e-10);
    } else {
      EXPECT_NEAR(out.f, c.f, 1e-4 * std::fabs(c.f));
    }
    if (c.digits != 0.0) {
      for (std::size_t j = 0; j < out.x.size(); ++j) {
        const double answer = c.host.problem->solution.at(j);
        EXPECT_NEAR(out.x[j], answer, c.digits * std::fabs(answer)) << j;
      }
    }
    EXPECT_LE(h.iterations(), c.maxIterations);
  }
}

// The fits of support/generated_fits.h as sums of squares, with their
// exact gradient, for the gradient-only settings the README recommends and
// "tolEnhRel" 1e-12 (the rules on the point off): each ends with 0 where
// its objective can no longer tell it from the certified answer. The
// parameters of sizes 1e6 and 1e-3 leave the larger one unmoved by every
// trial of the line search; what moving it alone could gain decides.
const generated_fits::Fit* currentFit = nullptr;

double fitSumOfSquares(const double* x) {
  std::vector<double> r(currentFit->shape.m);
  currentFit->residuals(x, r.data());
  return quietly([&] {  // infinite residuals far out
    double s = 0.0;
    for (double v : r) s += v * v;
    return s;
  });
}

void fitGradient(const double* x, double* g) {
  using D = dual_number::Dual<double>;
  const std::size_t n = currentFit->shape.n;
  std::vector<D> xd(n), rd(currentFit->shape.m);
  const QuietFpScope quiet;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < n; ++k) xd[k] = D(x[k], k == j ? 1.0 : 0.0);
    currentFit->residuals(xd.data(), rd.data());
    g[j] = 0.0;
    for (const D& r : rd) g[j] += 2.0 * r.v * r.d;
  }
}

TEST_F(ZelkKnownAnswers, GeneratedSumsOfSquaresEndAtTheirAnswers) {
  using namespace generated_fits;
  const Options options = {{"cgmode", 3},     {"nsweeps", 0},     {"tolEnhRel", 1e-12},
                           {"tolObjAbs", -1}, {"tolObjRel", -1},  {"tolGradAbs", -1},
                           {"tolGradRel", -1}, {"maxit", 5000}};
  const std::pair<Model, DataKind> cases[] = {
      {Model::Offset, {8, 0, 1}},          {Model::Offset, {12, 0, 2}},
      {Model::BadlyScaled, {8, 0, 1}},     {Model::BadlyScaled, {12, 0, 2}},
      {Model::PeakOnSlope, {8, 0, 1}},     {Model::PeakOnSlope, {0, 11, 1}},
      {Model::TwoExponentials, {8, 0, 1}}, {Model::TwoExponentials, {12, 0, 2}},
  };
  for (const auto& [model, kind] : cases) {
    const Fit fit = makeFit(model, kind);
    SCOPED_TRACE(fit.name());
    currentFit = &fit;
    const Problem problem{"fit", fit.start(), {}, fitSumOfSquares, fitGradient, nullptr};
    Host h{&problem};
    Outcome out;
    stderrOf([&] { out = run(h, {}, options, kGradient); });
    EXPECT_EQ(out.status, 0) << h.lastCode();
    EXPECT_LT(excessOverNoise(fit, out.x.data()), 100.0);
  }
  currentFit = nullptr;
}

// The README's Rosenbrock host: the run ends by tolObjAbs, the minimum
// being 0, at some 80 objective evaluations an iteration. tolObjRel is
// relative to the start value: from a start whose objective is 2e14 it
// ends the run far from the minimum; switched off, the run gets there.
// What the README says of each run, with its counts filled in, must stand
// in README.md.
TEST_F(ZelkKnownAnswers, ReadmeRosenbrockRuns) {
  struct Case {
    std::vector<double> x0;
    Options options;
    const char* code;
    double fAbove, fBelow;  // the objective reached lies between
    // The README's words on the run: {it} the iterations, {f} the objective
    // reached to two digits, {cf} and {cg} the counters, {per} the
    // objective evaluations per iteration to the ten.
    const char* readme;
  } const cases[] = {
      {{-1.2, 1}, {}, "27", 0.0, 1e-12, "after {it} iterations: Rosenbrock's minimum is 0"},
      {{-1.2, 1}, {}, "27", 0.0, 1e-12,
       "some {per} objective evaluations per iteration on the Rosenbrock host ({cf} objective "
       "and {cg} gradient evaluations in {it} iterations)"},
      {{-1200, 1}, {}, "28", 0.1, 1.0, "ends by it after {it} iterations at f = {f};"},
      {{-1200, 1}, {{"tolObjRel", -1}}, "27", 0.0, 1e-12,
       "with \"tolObjRel\" -1 it reaches the minimum by 27 after {it}."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readme);
    Host h{&rosenbrock()};
    Outcome out;
    stderrOf([&] { out = run(h, c.x0, c.options); });
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(h.lastCode(), c.code);
    EXPECT_GE(out.f, c.fAbove);
    EXPECT_LT(out.f, c.fBelow);
    const Record& counters = h.records.at(h.records.size() - 2);
    const long objectives = std::stol(counters.at("cf"));
    EXPECT_EQ(h.counts.objective, objectives + 1);  // and the start
    char f[32];
    std::snprintf(f, sizeof f, "%.2g", out.f);
    const std::map<std::string, std::string> figures = {
        {"{it}", std::to_string(h.iterations())},
        {"{f}", f},
        {"{cf}", grouped(objectives)},
        {"{cg}", counters.at("cg")},
        {"{per}", std::to_string(10 * std::lround(objectives / (10.0 * h.iterations())))}};
    std::string phrase = c.readme;
    for (const auto& [mark, figure] : figures)
      for (std::size_t at; (at = phrase.find(mark)) != std::string::npos;)
        phrase.replace(at, mark.size(), figure);
    EXPECT_TRUE(readmeSays(phrase)) << phrase;
  }
}

// An iteration without progress (no step, or one whose decrease the
// rounding explains) after a nonlinear-CG direction that was not -g is no
// stall yet: the next iteration searches -g. Freudenstein and Roth's local
// minimum ends that way, the restarted search judged at the rounding.
TEST_F(ZelkKnownAnswers, ZeroStepAfterAContinuedCGDirectionRestartsIt) {
  Host h{&freudensteinRoth()};
  stderrOf([&] { run(h); });
  std::vector<Record> iterations;
  for (const Record& r : h.records)
    if (r.count("tj")) iterations.push_back(r);
  ASSERT_GE(iterations.size(), 2u);
  const Record &before = iterations[iterations.size() - 2], &last = iterations.back();
  EXPECT_LT(std::stod(before.at("Er")), 1e-11);  // per mille of f: 1e-14 of it
  EXPECT_NE(before.at("b"), "0");
  EXPECT_EQ(last.at("a"), "0");
  EXPECT_EQ(last.at("b"), "0");
  EXPECT_EQ(h.lastCode(), "26");
}

TEST_F(ZelkKnownAnswers, FallbackTriesTheMissingKindsFromTheEnd) {
  // [SD3] without Hessian or products: SD4 and SD2 are skipped.
  Host h{&diagonal()};
  const std::string err =
      stderrOf([&] { run(h, {0.0, 0.0}, {{"sdirs", 8}, {"enableFallback", 1}, {"trace", 2}}); });
  EXPECT_EQ(h.lastCode(), "25");
  std::size_t at = 0;
  for (const char* line : {"search dir 64 because the 1 previous tries did not succeed\n",
                           "Search dir SD6 not implemented\n",
                           "search dir 32 because the 2 previous tries did not succeed\n",
                           "search dir 2 because the 3 previous tries did not succeed\n",
                           "search dir 1 because the 4 previous tries did not succeed\n"}) {
    at = err.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " in\n" << err;
  }
  EXPECT_FALSE(contains(err, "search dir 16") || contains(err, "search dir 4 ")) << err;
}

// Calls from two threads take turns on the driver: no callback of one run
// sees the other run active, and each run gets its own answer.
TEST(ZelkThreaded, TwoProblemsAtOnceTakeTurns) {
  ScratchDir dir;
  std::atomic<int> active{0};
  std::atomic<bool> overlap{false};
  bool ok[2] = {true, true};
  auto solve = [&](int id, const Problem& p, Callbacks cb) {
    FpTrapGuard traps;
    for (int round = 0; round < 3; ++round) {
      Host h{&p};
      h.inCallback = [&, id](Host&) {
        int expected = 0;
        if (!active.compare_exchange_strong(expected, id) && expected != id) overlap = true;
      };
      h.onRecord = [&](Host&, const Record& r) { if (r.count("exit")) active = 0; };
      const Outcome out = run(h, {}, {{"saveLast", 0}}, cb);
      ok[id - 1] = ok[id - 1] && out.status == 0 && distance(out.x, p.solution) < 1e-5;
    }
  };
  stderrOf([&] {
    std::thread a(solve, 1, std::cref(rosenbrock()), kGradient);
    std::thread b(solve, 2, std::cref(spd5()), kHessian);
    a.join();
    b.join();
  });
  EXPECT_FALSE(overlap);
  EXPECT_TRUE(ok[0]) << "rosenbrock";
  EXPECT_TRUE(ok[1]) << "spd5";
}

}  // namespace
