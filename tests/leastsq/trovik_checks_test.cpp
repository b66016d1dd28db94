// The derivative checks of trovik's first iteration, its Jacobian dumps
// and resume, and the error exits that end the process.

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_fixture.h"
#include "minimize/mat4_file.h"
#include "minimize/state_file.h"

namespace {

using namespace trovik_host;

double valueOf(const Record& r, const char* key) { return std::strtod(r.at(key).c_str(), nullptr); }

using TrovikChecksThreaded = TrovikFixture;

TEST_F(TrovikChecksThreaded, RightDerivativesPass) {
  Host h(bard());
  solve(h, {{"maxit", 0}}, Callbacks::JacobianAndProducts);
  const Record& check = h.records.at(3);
  for (const char* key : {"eJ", "eJv", "eJtw", "eJtr"}) EXPECT_LT(valueOf(check, key), 1e-6) << key;
  for (const char* key : {"tJ", "nJ", "tJv", "nv", "nJv", "tJtw", "nw", "nJtw"})
    EXPECT_EQ(check.count(key), 1u) << key;
  EXPECT_EQ(h.records.back().at("code"), "12");

  Host full(bard());  // the whole Jacobian by differences
  solve(full, {{"maxit", 0}, {"checkgradient", 2}});
  EXPECT_LT(valueOf(full.records.at(3), "eJ"), 1e-6);
  EXPECT_EQ(full.records.at(full.records.size() - 2).at("cJfd"), "1");
}

TEST_F(TrovikChecksThreaded, WrongDerivativesAreCaught) {
  struct Case {
    double jacobianError;
    bool writeResiduals;
    Options options;
    Callbacks given;
    const char* message;
  };
  const Case cases[] = {
      {0.5, true, {}, Callbacks::Jacobian, "Error: Jacobian is incorrect: "},
      {0.5, true, {{"checkgradient", 2}}, Callbacks::Jacobian, "Error: Jacobian is incorrect: "},
      {0.5, true, {}, Callbacks::Products, "Error: Jacobian-vector product is incorrect: "},
      {0.0,
       false,
       {},
       Callbacks::Jacobian,
       "Error: Jacobian function result is incorrect: 1 code -1"},
      {std::nan(""),
       true,
       {{"checkgradient", -1}},
       Callbacks::Jacobian,
       "stop: NaN values encountered\n"},
  };
  for (const Case& c : cases) {
    Host h(rosenbrock());
    h.jacobianError = c.jacobianError;
    h.writeResiduals = c.writeResiduals;
    Options options = c.options;
    options.push_back({"maxit", 5});
    const Outcome out = solve(h, options, c.given);
    EXPECT_TRUE(said(c.message)) << c.message << "\n" << err_;
    EXPECT_EQ(out.status, 1) << c.message;
    EXPECT_EQ(h.records.back().at("code"), "33") << c.message;
  }
  for (const char* dump : {"Jerr", "Jerr2", "Jfderr", "Jfderr2", "Jverr", "Jvfderr"})
    EXPECT_EQ(access((dir_.path() + "/" + dump + ".mat").c_str(), R_OK), 0) << dump;
}

TEST_F(TrovikChecksThreaded, JacobianDumpsHoldJ) {
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    Host h(bard());
    solve(h, {{"maxit", 0}, {"dump", 32}, {"trace", 1}}, given);
    EXPECT_TRUE(said("Saved Jacobian to Jac0000.mat\n"));
    const MatrixTemplate<double> dumped = readMat4File(dir_.path() + "/Jac0000.mat");
    Values J(15 * 3);
    h.problem.jacobian(h.problem.start.data(), J.data());
    ASSERT_EQ(dumped.rows * dumped.cols, J.size());
    EXPECT_EQ(dumped.cols, 3u);
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

class TrovikProcessDeathTest : public TrovikFixture {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TrovikFixture::SetUp();
  }
};

TEST_F(TrovikProcessDeathTest, ErrorExitsEndTheProcessWithTheirCode) {
  for (const double error : {0.5, std::nan("")}) {
    EXPECT_EXIT(
        {
          Host h(rosenbrock());
          h.jacobianError = error;
          run(h, {});
        },
        testing::ExitedWithCode(std::isnan(error) ? 3 : 255),
        std::isnan(error) ? "stop: NaN values encountered\n" : "Error: Jacobian is incorrect: ");
  }
}

}  // namespace
