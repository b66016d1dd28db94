// The derivative checks of trovik's first iteration, its Jacobian dumps
// and resume, and the error exits that end the process. The runs start
// the monitor, so the in-process suites carry "Threaded".

#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_host.h"
#include "minimize/mat4_file.h"
#include "minimize/state_file.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace {

using namespace trovik_host;

double valueOf(const Record& r, const char* key) { return std::strtod(r.at(key).c_str(), nullptr); }

class TrovikChecksThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("HTTP_PORT", "0", 1);
    setenv("QX_DATA_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("QX_DATA_DIR"); }

  // A run under traps with the error exit off; stderr in err_.
  Outcome solve(Host& h, Options options, Callbacks given = Callbacks::Jacobian) {
    options.push_back({"enableExit", 0});
    FpTrapGuard traps;
    testing::internal::CaptureStderr();
    Outcome out = run(h, options, given);
    err_ = testing::internal::GetCapturedStderr();
    return out;
  }
  bool said(const std::string& text) const { return err_.find(text) != std::string::npos; }
  const Record& checkRecord(const Host& h) const { return h.records.at(3); }

  ScratchDir dir_;
  std::string err_;
};

TEST_F(TrovikChecksThreaded, RightDerivativesPass) {
  Host h(bard());
  solve(h, {{"maxit", 0}}, Callbacks::JacobianAndProducts);
  const Record& check = checkRecord(h);
  for (const char* key : {"eJ", "eJv", "eJtw", "eJtr"}) EXPECT_LT(valueOf(check, key), 1e-6) << key;
  for (const char* key : {"tJ", "nJ", "tJv", "nv", "nJv", "tJtw", "nw", "nJtw"})
    EXPECT_EQ(check.count(key), 1u) << key;
  EXPECT_EQ(h.records.back().at("code"), "12");

  Host full(bard());
  solve(full, {{"maxit", 0}, {"checkgradient", 2}});
  EXPECT_LT(valueOf(checkRecord(full), "eJ"), 1e-6);
  EXPECT_EQ(full.records.at(full.records.size() - 2).at("cJfd"), "1");
}

TEST_F(TrovikChecksThreaded, WrongDerivativesAreCaught) {
  struct Case {
    const char* name;
    double jacobianError;
    bool writeResiduals;
    Options options;
    Callbacks given;
    const char* message;
  };
  const Case cases[] = {
      {"along v", 0.5, true, {}, Callbacks::Jacobian, "Error: Jacobian is incorrect: "},
      {"full",
       0.5,
       true,
       {{"checkgradient", 2}},
       Callbacks::Jacobian,
       "Error: Jacobian is incorrect: "},
      {"products",
       0.5,
       true,
       {},
       Callbacks::Products,
       "Error: Jacobian-vector product is incorrect: "},
      {"no residuals",
       0.0,
       false,
       {},
       Callbacks::Jacobian,
       "Error: Jacobian function result is incorrect: 1 code -1"},
  };
  for (const Case& c : cases) {
    Host h(rosenbrock());
    h.jacobianError = c.jacobianError;
    h.writeResiduals = c.writeResiduals;
    Options options = c.options;
    options.push_back({"maxit", 5});
    const Outcome out = solve(h, options, c.given);
    EXPECT_TRUE(said(c.message)) << c.name << "\n" << err_;
    EXPECT_EQ(out.status, 1) << c.name;
    EXPECT_EQ(h.records.back().at("code"), "33") << c.name;
  }
  EXPECT_EQ(access((dir_.path() + "/Jfderr.mat").c_str(), R_OK), 0);
  EXPECT_EQ(access((dir_.path() + "/Jverr.mat").c_str(), R_OK), 0);
}

TEST_F(TrovikChecksThreaded, NonFiniteJacobianEndsTheRunAsAnError) {
  Host h(rosenbrock());
  h.jacobianError = std::nan("");
  const Outcome out = solve(h, {{"checkgradient", -1}});
  EXPECT_TRUE(said("stop: NaN values encountered\n"));
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(h.records.back().at("code"), "33");
  EXPECT_EQ(out.x, h.problem.start);
}

TEST_F(TrovikChecksThreaded, JacobianDumpsHoldJ) {
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    Host h(bard());
    solve(h, {{"maxit", 0}, {"dump", 32}, {"trace", 1}}, given);
    EXPECT_TRUE(said("Saved Jacobian to Jac0000.mat\n"));
    const MatrixTemplate<double> dumped = readMat4File(dir_.path() + "/Jac0000.mat");
    Values J(15 * 3);
    h.problem.jacobian(h.problem.start.data(), J.data());
    ASSERT_EQ(dumped.rows, 15u);
    ASSERT_EQ(dumped.cols, 3u);
    for (std::size_t i = 0; i < J.size(); ++i) EXPECT_EQ(dumped.elements[i], J[i]) << i;
  }
}

TEST_F(TrovikChecksThreaded, ResumeTakesAStateFileOfNValues) {
  for (const std::size_t size : {2, 3}) {
    ASSERT_TRUE(saveStateFile(std::valarray<double>(1.0, size), "zelk-current.mat"));
    Host h(rosenbrock());
    solve(h, {{"maxit", 0}, {"enableResume", 1}, {"saveLast", 0}});
    EXPECT_EQ(said("Resume from zelk-current.mat\n"), size == 2) << size;
    EXPECT_EQ(h.records[0].at("resume"), "1");
    EXPECT_EQ(valueOf(h.records[0], "J") == 0.0, size == 2) << size;  // (1, 1) is the root
  }
}

class TrovikProcessDeathTest : public TrovikChecksThreaded {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TrovikChecksThreaded::SetUp();
  }
};

TEST_F(TrovikProcessDeathTest, ErrorExitsEndTheProcessWithTheirCode) {
  EXPECT_EXIT(
      {
        Host h(rosenbrock());
        h.jacobianError = 0.5;
        run(h, {});
      },
      testing::ExitedWithCode(255), "Error: Jacobian is incorrect: ");
  EXPECT_EXIT(
      {
        Host h(rosenbrock());
        h.jacobianError = std::nan("");
        run(h, {});
      },
      testing::ExitedWithCode(3), "stop: NaN values encountered\n");
}

}  // namespace
