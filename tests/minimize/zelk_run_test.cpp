// The minimisation driver's run frame through the exported entry point:
// stop codes, records, derivative checks, arguments, resume. Every test
// works in a scratch directory (runs write "zelk-current.mat") with the
// host's own traps on, as well as the driver's.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "minimize/record_format.h"
#include "minimize/state_file.h"
#include "minimize/zelk_test_host.h"
#include "support/fp_traps.h"
#include "support/known_problems.h"
#include "support/scratch_dir.h"

namespace {

using namespace zelk_test;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

class ZelkRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  ScratchDir dir_;
  FpTrapGuard traps_;
};

struct StopCase {
  const char* what;
  Options options;
  int code;
  int status;
  const char* exit;
  std::vector<double> x0 = {};  // default start when empty
  double offset = 1.0;
  int answer = 0;
  int finalAnswer = 0;
  double gradientError = 0.0;
  bool stopFile = false;
};

TEST_F(ZelkRun, EveryStopCodeWithItsStatus) {
  // The kind SD5 has no builder: its zero direction gives no step, so every
  // iteration stays at its start, and the step length, the enhancement and
  // tolGradRel's product are 0.
  const Options noGradRel = {{"tolGradRel", -1}};
  const std::vector<StopCase> cases = {
      {"maxrt", {{"maxrt", -1}}, 11, 1, "maxrt reached"},
      {"maxit", {{"maxit", 0}}, 12, 1, "maxit reached"},
      {"step", {{"tolStepAbs", 1}}, 21, 0, "tolStepAbs reached"},
      {"step rel", {{"tolStepRel", 1}}, 22, 0, "tolStepRel reached"},
      {"step rel at 0", {{"tolStepRel", 1}}, 26, 0, "tolGradRel reached", {0, 0, 0}},
      {"enh", {{"tolEnhAbs", 1}}, 23, 0, "tolEnhAbs reached"},
      {"enh rel", {{"tolEnhRel", 1}}, 24, 0, "tolEnhRel reached"},
      {"enh rel, f = 0", {{"tolEnhRel", 1}}, 25, 0, "tolGradAbs reached", {1, -2, 0.5}, 0.0},
      {"grad", {{"tolGradAbs", 1e10}}, 25, 0, "tolGradAbs reached"},
      {"grad rel (defaults)", {}, 26, 0, "tolGradRel reached"},
      {"obj", {{"tolGradRel", -1}, {"tolObjAbs", 1e10}}, 27, 0, "tolObjAbs reached"},
      {"obj rel", {{"tolGradRel", -1}, {"tolObjAbs", -1}, {"tolObjRel", 1e10}}, 28, 0,
       "tolObjRel reached"},
      {"lim rel",
       {{"tolGradRel", -1}, {"tolObjAbs", -1}, {"tolObjRel", -1}, {"objLimit", 5}, {"tolLimRel", 1e10}},
       29, 0, "objLimRel reached"},
      {"stop file", {{"tolGradRel", -1}, {"enableStopFile", 1}}, 31, 1, "stop file exists", {}, 1.0,
       0, 0, 0.0, true},
      {"answer 1", noGradRel, 32, 0, "stop code set", {}, 1.0, 1},
      {"answer 7", noGradRel, 32, 7, "stop code set", {}, 1.0, 7},
      {"error over tolerance", {{"enableExit", 0}}, 33, 1, "error occurred", {}, 1.0, 0, 0, 0.5},
      {"final answer 1", {{"maxit", 0}}, 12, 0, "maxit reached", {}, 1.0, 0, 1},
      {"final answer 5", {{"maxit", 0}}, 12, 5, "maxit reached", {}, 1.0, 0, 5},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.stopFile) std::ofstream("stop.txt") << "stop\n";
    Host h;
    h.offset = c.offset;
    h.answer = c.answer;
    h.finalAnswer = c.finalAnswer;
    h.gradientError = c.gradientError;
    std::vector<double> x0 = c.x0.empty() ? std::vector<double>{0.25, 0.25, 0.25} : c.x0;
    Options options = c.options;
    options.push_back({"sdirs", 32});
    testing::internal::CaptureStderr();
    const Outcome out = run(h, x0, options);
    EXPECT_PRED2(contains, testing::internal::GetCapturedStderr(), "Search dir SD5 not implemented\n");
    std::remove("stop.txt");
    EXPECT_EQ(out.status, c.status);
    ASSERT_FALSE(h.records.empty());
    const Record& last = h.records.back();
    EXPECT_EQ(last.at("code"), std::to_string(c.code));
    EXPECT_EQ(last.at("exit"), c.exit);
    // The final record carries the status before the answer to it.
    if (c.finalAnswer == 0) {
      EXPECT_EQ(last.at("status"), std::to_string(c.status));
    }
    EXPECT_EQ(out.x, x0);
    EXPECT_EQ(out.f, value(h, x0.data(), 3));
  }
}

TEST_F(ZelkRun, SevenRecordsInOrderAtMaxitZero) {
  Host h;
  h.offset = 0.1;  // f at the centre
  testing::internal::CaptureStderr();
  const Outcome out = run(h, h.center, {{"maxit", 0}});
  const std::string err = testing::internal::GetCapturedStderr();
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
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keysOf(h.records[i]), keys[i]) << i;
  EXPECT_EQ(h.records[0].at("J"), "0.10000000000000001");
  EXPECT_EQ(h.records[0].at("it"), "0");
  EXPECT_EQ(h.records[0].at("nx"), "3");
  EXPECT_EQ(h.records[1].at("version"), "ZELK-2026.7.1527");
  EXPECT_EQ(h.records[2].at("OpenBLAS"), " OpenBLAS 0.3.29 ");
  // At the minimiser the CG direction -g is zero: no step, status bit 0x40.
  EXPECT_EQ(h.records[4].at("m"), "None");
  EXPECT_EQ(h.records[4].at("st"), "64");
  EXPECT_EQ(h.records[4].at("b"), "0");
  // After the reset: the check's objective, gradient and 6 difference calls,
  // the iteration's start and trial; the check and iteration records.
  EXPECT_EQ(h.records[5].at("cf"), "9");
  EXPECT_EQ(h.records[5].at("cg"), "2");
  EXPECT_EQ(h.records[5].at("cgfd"), "1");
  EXPECT_EQ(h.records[5].at("co"), "2");
  EXPECT_EQ(h.records[6].at("J"), "0.10000000000000001");
  EXPECT_PRED2(contains, err, "Saved state to zelk-current.mat\n");
}

TEST_F(ZelkRun, DerivativeChecksAtAStationaryPointAndAtTheOrigin) {
  struct Case {
    const char* what;
    std::vector<double> x0;
    double offset;
    double checkgradient;
    Callbacks callbacks;
    bool writesF = true;
  };
  const Callbacks withHessian{true, true, false, true}, withProducts{true, false, true, true};
  const std::vector<Case> cases = {
      {"minimiser", {1, -2, 0.5}, 3.0, 0, {}},
      {"minimiser, along v", {1, -2, 0.5}, 3.0, 1, {}},
      {"minimiser, Hessian", {1, -2, 0.5}, 3.0, 0, withHessian},
      {"minimiser, products", {1, -2, 0.5}, 3.0, 0, withProducts},
      {"origin", {0, 0, 0}, 0.0, 0, {}},
      {"origin, Hessian", {0, 0, 0}, 0.0, 0, withHessian},
      {"origin, along v", {0, 0, 0}, 0.0, 1, {}},
      {"f not written", {0, 0, 0}, 1.0, 0, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h;
    h.offset = c.offset;
    h.gradientWritesF = c.writesF;
    const Outcome out =
        run(h, c.x0, {{"enableExit", 0}, {"checkgradient", c.checkgradient}}, c.callbacks);
    EXPECT_EQ(out.status, 0);
    ASSERT_GE(h.records.size(), 4u);
    const Record& check = h.records[3];
    ASSERT_TRUE(check.count("check-gradient"));
    EXPECT_TRUE(std::isfinite(std::stod(check.at("check-gradient"))));
    if (c.callbacks.hessian || c.callbacks.product) {
      EXPECT_LT(std::stod(check.at("check-Hessian")), 1e-2);
    }
    EXPECT_NE(h.records.back().at("code"), "33");
  }
}

TEST_F(ZelkRun, WithoutGradientCallbackDifferencesStandIn) {
  Host h;
  const Outcome out = run(h, {}, {}, {false, false, false, true});
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(h.records[3].count("check-gradient"), 0u);
  EXPECT_EQ(h.gradientCalls, 0);
  const Record& counters = h.records[h.records.size() - 2];
  EXPECT_EQ(counters.at("cg"), "0");
  EXPECT_NE(counters.at("cgfd"), "0");
  EXPECT_LT(known_problems::distance(out.x, h.center), 1e-6);
}

TEST_F(ZelkRun, RefusedArguments) {
  Host h;
  double x0[3] = {0.25, 0.25, 0.25}, x[3] = {-7, -7, -7}, f = -1;
  const char* names[] = {"enableExit", nullptr, "maxrt"};  // maxrt is not read
  const double values[] = {0, 0, -1};
  struct Case {
    const double* x0;
    double* x;
    long n;
    ZelkObjectiveFn objective;
    const char* message;
  };
  for (const Case& c : std::vector<Case>{{x0, x, 3, nullptr, "objective is a null pointer"},
                                         {nullptr, x, 3, objective, "x0 is a null pointer"},
                                         {x0, nullptr, 3, objective, "x is a null pointer"},
                                         {x0, x, -1, objective, "n = -1 is outside"},
                                         {x0, x, 1L + INT_MAX, objective, "is outside"},
                                         {x0, x, 0, objective, "No variables code -1"}}) {
    SCOPED_TRACE(c.message);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zelk(c.x0, c.x, c.n, &f, 1, c.objective, gradient, nullptr, nullptr, nullptr, output,
                   names, values, 3, &h),
              1);
    EXPECT_PRED2(contains, testing::internal::GetCapturedStderr(), c.message);
  }
  EXPECT_TRUE(h.records.empty());
  // m = 0: the point is written, f is not; a null name ends the options.
  EXPECT_EQ(zelk(x0, x, 3, &f, 0, objective, gradient, nullptr, nullptr, nullptr, output, names,
                 values, 3, &h),
            0);
  EXPECT_EQ(f, -1.0);
  EXPECT_NEAR(x[0], h.center[0], 1e-6);
}

TEST_F(ZelkRun, InadmissibleStartFails) {
  for (double offset : {kInf, -kInf, kNaN}) {
    SCOPED_TRACE(offset);
    Host h;
    h.offset = offset;
    testing::internal::CaptureStderr();
    const Outcome out = run(h, {});
    EXPECT_PRED2(contains, testing::internal::GetCapturedStderr(), "Error: v0 is inadmissible\n");
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(h.records.size(), 3u);
    EXPECT_EQ(out.x[0], -7.0);
    EXPECT_EQ(out.f, -1.0);
  }
}

TEST_F(ZelkRun, ResumesFromTheStateFile) {
  testing::internal::CaptureStderr();
  ASSERT_TRUE(saveStateFile({1.5, -2.0, 4.0}, "zelk-current.mat"));
  Host h;
  const Outcome out = run(h, {}, {{"enableResume", 1}, {"maxit", 0}});
  EXPECT_PRED2(contains, testing::internal::GetCapturedStderr(), "Resume from zelk-current.mat\n");
  EXPECT_EQ(h.records[0].at("resume"), "1");
  // The one iteration starts from the saved point: its second entry is the
  // minimiser's already, and the CG direction -g keeps it.
  EXPECT_EQ(out.x[1], -2.0);
  EXPECT_LT(value(h, out.x.data(), 3), value(h, std::vector<double>{1.5, -2.0, 4.0}.data(), 3));
}

TEST_F(ZelkRun, NestedCallIsRefused) {
  Host inner, outer;
  int nestedStatus = -100;
  std::string nestedMessage;
  outer.onRecord = [&](Host&, const Record& r) {
    if (!r.count("tj")) return;
    testing::internal::CaptureStderr();
    nestedStatus = run(inner, {}).status;
    nestedMessage = testing::internal::GetCapturedStderr();
  };
  EXPECT_EQ(run(outer, {}).status, 0);
  EXPECT_EQ(nestedStatus, 1);
  EXPECT_PRED2(contains, nestedMessage, "refused");
  EXPECT_TRUE(inner.records.empty());
  EXPECT_EQ(inner.objectiveCalls, 0);
}

TEST_F(ZelkRun, NanOptionsRunWithoutATrap) {
  for (const char* name : {"tolObjAbs", "alpha", "alpha0", "maxrt", "tolGradRel", "objLimit",
                           "tolCheckGrad", "tolCheckFunc"}) {
    SCOPED_TRACE(name);
    Host h;
    const Outcome out = run(h, {}, {{name, kNaN}, {"maxit", 2}});
    EXPECT_GE(out.status, 0);
    EXPECT_NE(h.records.back().at("code"), "33");
  }
}

TEST_F(ZelkRun, NonFiniteGradientWithoutExitIsAnError) {
  Host h;
  h.nanGradient = true;
  testing::internal::CaptureStderr();
  const Outcome out = run(h, {}, {{"enableExit", 0}});
  EXPECT_PRED2(contains, testing::internal::GetCapturedStderr(), "stop: NaN values encountered\n");
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(h.records.back().at("code"), "33");
}

TEST(RecordFormat, NumbersAsFmtWritesThemWithoutTrapping) {
  FpTrapGuard traps;
  EXPECT_EQ(formatRecordInt(12), "12");
  const std::vector<std::pair<double, const char*>> cases = {
      {0.1, "0.10000000000000001"}, {-2.0, "-2"}, {kNaN, "nan"}, {-kNaN, "-nan"},
      {kInf, "inf"}, {-kInf, "-inf"}};
  for (const auto& [v, text] : cases) EXPECT_EQ(formatRecordDouble(v), text);
}

}  // namespace
