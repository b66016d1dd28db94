// The paths of a trovik run: its stop rules and early returns, the records
// it delivers, signals, the stop file, failures at the boundary, a monitor
// without a free port, the first iteration's derivative checks, Jacobian
// dumps, resume and the error exits that end the process.

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/mat4_file.h"
#include "driver/state_file.h"
#include "httpd/test_sockets.h"
#include "leastsq/residual_objective.h"
#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;
using Keys = std::set<std::string>;

Keys keysOf(const Record& r) {
  Keys keys;
  for (const auto& [key, value] : r) keys.insert(key);
  return keys;
}

using TrovikRunThreaded = TrovikFixture;

TEST_F(TrovikRunThreaded, EndsOfRuns) {
  const Callbacks J = Callbacks::Jacobian, P = Callbacks::Products;
  const Options checked{{"maxit", 5}, {"tolCheckGrad", 1e-4}},
      full{{"maxit", 5}, {"tolCheckGrad", 1e-4}, {"checkgradient", 2}},
      unchecked{{"maxit", 5}, {"checkgradient", -1}};
  struct Case {
    const char* name;
    Problem problem;
    Options options;
    Callbacks given;
    std::function<void(Host&)> setup;
    int status;
    const char* code;  // of the final record; null: no iteration
    int iterations;    // -1: not counted
    const char* message;  // in standard error; "": no error there
  };
  // The checks along a random direction v in (0, 1)^n drawn from the clock
  // cannot see a wrong entry J_0j when v_j is small: an error e in it
  // changes J v by e v_j, hidden below "tolCheckGrad" about twice in 1000
  // runs here for e = 0.5. A scaled Jacobian is wrong by the same relative
  // amount along every v: they check that one, and the full check (and the
  // NaN) a wrong entry.
  const auto noVariables = [](Host& h) { h.problem.n = 0; };
  const auto noResiduals = [](Host& h) { h.problem.m = 0; };
  const auto infinite = [](Host& h) {
    h.problem.residual = [](const double*, double* r) { r[0] = r[1] = INFINITY; };
  };
  const auto usr2At = [](std::string iteration) {
    return [iteration](Host& h) {
      h.onRecord = [iteration](Host&, const Record& r) {
        if (r.count("tj") && r.at("it") == iteration) raise(SIGUSR2);
      };
    };
  };
  const auto throwing = [](Host& h) {
    h.problem.residual = [residual = h.problem.residual, calls = 0](const double* x,
                                                                    double* r) mutable {
      if (++calls == 800) throw std::runtime_error("host failure");
      residual(x, r);
    };
  };
  const auto nested = [](Host& h) {
    h.onRecord = [](Host& host, const Record& r) {
      if (r.count("tj")) run(host, {});
    };
  };
  const auto scaled = [](Host& h) { h.jacobianScale = 1.5; };
  const auto scaledTranspose = [](Host& h) { h.transposeScale = 1.5; };
  const auto wrongEntry = [](Host& h) { h.jacobianError = 0.5; };
  const auto nanEntry = [](Host& h) { h.jacobianError = std::nan(""); };
  const auto rNotWritten = [](Host& h) { h.writeResiduals = false; };
  // Residuals of NaN from a call on (the start, the first iteration's F and
  // J, then its line search) to the end of the run.
  const auto nanFrom = [](int call) {
    return [call](Host& h) {
      auto calls = std::make_shared<int>(0);
      h.problem.residual = [residual = h.problem.residual, call, calls](const double* x,
                                                                       double* r) {
        residual(x, r);
        if (*calls >= 0 && ++*calls >= call) std::fill(r, r + 2, std::nan(""));
      };
      h.onRecord = [calls](Host&, const Record& r) {
        if (r.count("exit")) *calls = -1;
      };
    };
  };
  const Case cases[] = {
      {"maxit 0", bard(), {{"maxit", 0}}, J, nullptr, 1, "12", 1, ""},
      {"maxit 3", bard(), {{"maxit", 3}}, J, nullptr, 1, "12", 4, ""},
      {"maxrt -1", bard(), {{"maxrt", -1}}, J, nullptr, 1, "11", 1, ""},
      {"tolerance", rosenbrock(), {}, J, nullptr, 0, "27", 16, ""},
      {"stop file", bard(), {{"enableStopFile", 1}}, J, nullptr, 1, "31", 1, ""},
      // Its steps soon lower f by no more than the rounding, far from the root.
      {"matrix-free SD0", rosenbrock(), {{"sdirs", 1}, {"maxit", 20}}, P, nullptr, 1, "34", 4, ""},
      {"no variables", rosenbrock(), {}, J, noVariables, 1, nullptr, 0, "Error: No variables"},
      {"no residuals", rosenbrock(), {}, J, noResiduals, 1, nullptr, 0, "Error: No residuals"},
      {"inadmissible start", rosenbrock(), {}, J, infinite, 1, nullptr, 0, "v0 is inadmissible\n"},
      {"SIGUSR2", bard(), {{"saveLast", 0}}, J, usr2At("1"), 1, "30", 2,
       "Saved state to zelk-current"},
      {"host exception", bard(), {}, J, throwing, 1, nullptr, -1, "Error: trovik: host failure\n"},
      {"nested call", rosenbrock(), {{"maxit", 0}}, J, nested, 1, "12", 1, "Error: trovik refused"},
      {"scaled J", rosenbrock(), checked, J, scaled, 1, "33", 1, "Error: Jacobian is incorrect: "},
      {"wrong entry", rosenbrock(), full, J, wrongEntry, 1, "33", 1, "Jacobian is incorrect: "},
      {"scaled products", rosenbrock(), checked, P, scaled, 1, "33", 1,
       "Error: Jacobian-vector product is incorrect: "},
      // J v right, J^T w not: only the transpose test sees it.
      {"scaled J^T w", rosenbrock(), checked, P, scaledTranspose, 1, "33", 1,
       "Error: vector-Jacobian product is incorrect: "},
      {"r not written", rosenbrock(), checked, J, rNotWritten, 1, "33", 1,
       "Error: Jacobian function result is incorrect: 1 code -1"},
      // At the root the tolerance rules hold as well; the error must win.
      {"error at the root", zeroResidualAtStart(), checked, J, scaled, 1, "33", 1, "incorrect"},
      {"NaN entry", rosenbrock(), unchecked, J, nanEntry, 1, "33", 1, "NaN values encountered\n"},
      // A zero step from a point that is not stationary: stalled.
      {"NaN residuals from the 20th call", rosenbrock(), unchecked, J, nanFrom(20), 1, "34", 1, ""},
      {"NaN residuals from the first trial", rosenbrock(), unchecked, J, nanFrom(4), 1, "35", 1, ""},
      // The host's own requests keep their outcomes in a stalled iteration.
      {"stalled, stop file", rosenbrock(), {{"sdirs", 32}, {"alpha", 1}, {"enableStopFile", 1}}, J,
       nullptr, 1, "31", 1, ""},
      {"stalled, SIGUSR2", rosenbrock(), {{"sdirs", 32}, {"alpha", 1}, {"saveLast", 0}}, J,
       usr2At("0"), 1, "30", 1, "Saved state to zelk-current"},
      // Its last steps refused by the rounding at the least-squares solution:
      // converged, whatever the Jacobian's norm.
      {"nonzero residual", linearProblem(), {{"tolEnhRel", 1e-14}}, J, nullptr, 0, "24", -1, ""},
  };
  std::fclose(std::fopen("stop.txt", "w"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host h(c.problem);
    if (c.setup) c.setup(h);
    EXPECT_EQ(solve(h, c.options, c.given).status, c.status);
    EXPECT_TRUE(*c.message ? said(c.message) : !said("Error") && !said("stop: ")) << err_;
    EXPECT_TRUE(c.iterations < 0 || withKey(h, "tj").size() == std::size_t(c.iterations));
    if (c.code == nullptr) continue;
    EXPECT_EQ(h.records.back().at("code"), c.code);
    EXPECT_EQ(h.records.back().at("status"), std::to_string(c.status));
  }
  // The dumps of the failed checks, as the last row that wrote each left
  // them: "error at the root" J = 1.5 A (Jerr, Jerr2) and the differences
  // along e_1, A e_1 (Jfderr2); "wrong entry" the differences' Jacobian of
  // Rosenbrock at its start (Jfderr); "scaled products" 1.5 J v against the
  // differences' J v (Jverr, Jvfderr); "scaled J^T w" the host's J^T w, n
  // entries (Jtwerr).
  const auto dumped = [&](const char* name) {
    return readMat4File(dir_.path() + "/" + name + ".mat").elements;
  };
  const Vec A{4, 1, 0, 1, 3, 1, 0, 1, 2};
  Vec J0(4);
  rosenbrock().jacobian(rosenbrock().start.data(), &J0[0]);
  expectNear(dumped("Jerr"), 1.5 * A, 1e-15);
  expectNear(dumped("Jerr2"), 1.5 * A, 1e-15);
  expectNear(dumped("Jfderr2"), Vec{4, 1, 0}, 1e-6);
  expectNear(dumped("Jfderr"), J0, 1e-5);
  const Vec Jv = dumped("Jverr"), JvFd = dumped("Jvfderr");
  expectNear(Jv, 1.5 * JvFd, 1e-6);
  EXPECT_EQ(dumped("Jtwerr").size(), 2u);
}

TEST_F(TrovikRunThreaded, RecordsInOrderWithTheirKeys) {
  Host h(bard());
  solve(h, {{"maxit", 0}});
  ASSERT_EQ(h.records.size(), 7u);
  EXPECT_EQ(keysOf(h.records[0]), (Keys{"it", "nv", "J", "t0", "tr"}));
  EXPECT_EQ(h.records[1].at("version"), "TROVIK-2026.7.1527");
  EXPECT_EQ(h.records[2].at("OpenBLAS"), " OpenBLAS 0.3.29 ");
  EXPECT_EQ(keysOf(h.records[3]), (Keys{"tJ", "nJ", "eJ", "eJv"}));
  EXPECT_EQ(keysOf(h.records[4]),
            (Keys{"it", "J", "d", "a", "nu", "Er", "st", "m", "tj", "tr", "e1"}));
  EXPECT_EQ(keysOf(h.records[5]),
            (Keys{"cf", "cJ", "cJfd", "cJv", "cJvfd", "cJtw", "cW", "cS", "co"}));
  EXPECT_EQ(h.records[6].at("exit"), "maxit reached");
  // Doubles read back as the values they were made from.
  const Values r0 = residualsAt(h.problem, h.problem.start);
  EXPECT_EQ(valueOf(h.records[0], "J"), evalFunc(std::valarray<double>(r0.data(), r0.size())));
  EXPECT_EQ(h.records[5].at("cf"), std::to_string(h.residualCalls - 1));  // the start's is reset

  // One Gauss-Newton step solves a square linear system: the sorted search
  // takes its first trial, the step length 1, and reports that length as
  // its slope too, so "a" = "d" = 1000 * 1. "Er" = 1000 (J0 - J1) / J0 and,
  // under trace bit 1, "E" = J0 - J1.
  Problem square = zeroResidualAtStart();
  square.start = {0.0, 0.0, 0.0};
  Host gn(square);
  solve(gn, {{"maxit", 0}, {"sdirs", 4}, {"trace", 1}});
  const Record it0 = withKey(gn, "tj").at(0);
  EXPECT_EQ(it0.at("a"), "1000");
  EXPECT_EQ(it0.at("d"), "1000");
  const double J0 = valueOf(gn.records[0], "J"), J1 = valueOf(it0, "J");
  EXPECT_LT(J1, 1e-10 * J0);
  EXPECT_DOUBLE_EQ(valueOf(it0, "Er"), 1000 * (J0 - J1) / J0);
  EXPECT_DOUBLE_EQ(valueOf(it0, "E"), J0 - J1);
}

TEST_F(TrovikRunThreaded, CallsTheHostCannotMakeThroughTheHostProgram) {
  Host h(bard());
  const char* names[] = {"enableExit", "maxit", nullptr, "sdirs"};  // options end at the null
  const double values[] = {0, 1, 0, 4};
  double x[3], r[15];
  const auto call = [&](double* xOut, double* rOut, TrovikJacobianFn jacobian, TrovikJvFn jv) {
    return trovik(h.problem.start.data(), xOut, 3, rOut, 15, residualFn, jacobian, jv, nullptr,
                  nullptr, iterationFn, names, values, 4, &h);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(call(nullptr, nullptr, jacobianFn, nullptr), 1);
  EXPECT_EQ(call(x, r, nullptr, productFn<false>), -1);
  EXPECT_EQ(h.records.size(), 3u);  // start, version, BLAS
  EXPECT_EQ(call(x, r, jacobianFn, nullptr), 1);
  err_ = withoutMonitorLog(testing::internal::GetCapturedStderr());
  EXPECT_TRUE(said("Error: x is a null pointer code -1"));
  EXPECT_TRUE(said("Jacobian-vector and vector-Jacobian are both required code -1"));
  const std::vector<Record> iterations = withKey(h, "tj");
  ASSERT_EQ(iterations.size(), 2u);
  EXPECT_EQ(iterations[0].at("m"), "SD3");  // the default sdirs 8
}

TEST_F(TrovikRunThreaded, WithTheWholePortRangeBusyTheRunGoesOnUnmonitored) {
  Host monitored(bard());
  const Outcome reference = solve(monitored, {{"maxit", 5}});
  // The ten ports a monitor tries from a base on, all held by listening
  // sockets of this process (which also block the wildcard binds on them).
  std::vector<Fd> busy;
  int base = 0;
  for (int attempt = 0; attempt < 50 && busy.size() < 10; ++attempt) {
    busy.clear();
    busy.push_back(listenOn(INADDR_LOOPBACK, 0));
    base = boundPortOf(busy[0].get());
    while (busy.size() < 10 && busy.back().get() >= 0 && base + 9 <= 65535)
      busy.push_back(listenOn(INADDR_LOOPBACK, base + int(busy.size())));
    if (busy.back().get() < 0) busy.clear();
  }
  ASSERT_EQ(busy.size(), 10u);
  setenv("HTTP_PORT", std::to_string(base).c_str(), 1);
  Host h(bard());
  const Outcome out = solve(h, {{"maxit", 5}});
  EXPECT_TRUE(said("Could not bind to " + std::to_string(base + 9) + "\nCould not bind\n")) << err_;
  EXPECT_EQ(out.status, reference.status);
  EXPECT_EQ(out.x, reference.x);
  EXPECT_EQ(h.records.size(), monitored.records.size());
}

using TrovikChecksThreaded = TrovikFixture;

TEST_F(TrovikChecksThreaded, RightDerivativesPass) {
  Host h(bard());
  solve(h, {{"maxit", 0}}, Callbacks::JacobianAndProducts);
  const Record& check = h.records.at(3);
  for (const char* key : {"eJ", "eJv", "eJtr", "eJtw"}) EXPECT_LT(valueOf(check, key), 1e-6) << key;

  Host full(bard());  // the whole Jacobian by differences
  solve(full, {{"maxit", 0}, {"checkgradient", 2}});
  EXPECT_LT(valueOf(full.records.at(3), "eJ"), 1e-6);
  EXPECT_EQ(full.records.at(full.records.size() - 2).at("cJfd"), "1");
}

TEST_F(TrovikChecksThreaded, JacobianDumpsHoldJAndResumeTakesAStateFileOfNValues) {
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    Host h(bard());
    solve(h, {{"maxit", 0}, {"dump", 32}, {"trace", 1}}, given);
    EXPECT_TRUE(said("Saved Jacobian to Jac0000.mat\n"));
    const MatrixTemplate<double> dumped = readMat4File(dir_.path() + "/Jac0000.mat");
    Values J(15 * 3);
    h.problem.jacobian(h.problem.start.data(), J.data());
    EXPECT_EQ(dumped.cols, 3u);
    EXPECT_EQ(Values(std::begin(dumped.elements), std::end(dumped.elements)), J);
  }
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
  for (const bool nan : {false, true}) {
    Host h(rosenbrock());
    (nan ? h.jacobianError : h.jacobianScale) = nan ? std::nan("") : 1.5;
    EXPECT_EXIT(run(h, {}), testing::ExitedWithCode(nan ? 3 : 255),
                nan ? "stop: NaN values encountered\n" : "Error: Jacobian is incorrect: ");
  }
}

}  // namespace
