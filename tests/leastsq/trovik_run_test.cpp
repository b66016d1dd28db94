// The paths of a trovik run: its stop rules and early returns, the records
// it delivers, signals, the stop file, failures at the boundary, the live
// monitor, the first iteration's derivative checks, Jacobian dumps, resume
// and the error exits that end the process.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "httpd/test_sockets.h"
#include "leastsq/residual_objective.h"
#include "leastsq/trovik_fixture.h"
#include "minimize/mat4_file.h"
#include "minimize/state_file.h"

namespace {

using namespace trovik_host;
using Keys = std::set<std::string>;

Keys keysOf(const Record& r) {
  Keys keys;
  for (const auto& [key, value] : r) keys.insert(key);
  return keys;
}

double valueOf(const Record& r, const char* key) { return std::strtod(r.at(key).c_str(), nullptr); }

using TrovikRunThreaded = TrovikFixture;

TEST_F(TrovikRunThreaded, StopRules) {
  struct Case {
    const char* name;
    Problem problem;
    Options options;
    int status;
    const char* code;
    std::size_t iterations;
  };
  const Case cases[] = {
      {"maxit 0", bard(), {{"maxit", 0}}, 1, "12", 1},
      {"maxit 3", bard(), {{"maxit", 3}}, 1, "12", 4},
      {"maxrt -1", bard(), {{"maxrt", -1}}, 1, "11", 1},
      {"tolerance", rosenbrock(), {}, 0, "27", 16},
      {"stop file", bard(), {{"enableStopFile", 1}}, 1, "31", 1},
  };
  std::fclose(std::fopen("stop.txt", "w"));
  for (const Case& c : cases) {
    Host h(c.problem);
    const Outcome out = solve(h, c.options);
    EXPECT_EQ(out.status, c.status) << c.name;
    EXPECT_EQ(h.records.back().at("code"), c.code) << c.name;
    EXPECT_EQ(h.records.back().at("status"), std::to_string(c.status)) << c.name;
    EXPECT_EQ(withKey(h, "tj").size(), c.iterations) << c.name;
  }
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
  EXPECT_EQ(h.records[4].at("it"), "0");
  EXPECT_EQ(keysOf(h.records[5]),
            (Keys{"cf", "cJ", "cJfd", "cJv", "cJvfd", "cJtw", "cW", "cS", "co"}));
  EXPECT_EQ(h.records[6].at("exit"), "maxit reached");
  // Doubles read back as the values they were made from.
  const Values r0 = residualsAt(h.problem, h.problem.start);
  EXPECT_EQ(valueOf(h.records[0], "J"), evalFunc(std::valarray<double>(r0.data(), r0.size())));
  EXPECT_EQ(h.records[5].at("cf"), std::to_string(h.residualCalls - 1));  // the start's is reset
}

TEST_F(TrovikRunThreaded, EarlyReturns) {
  for (const std::size_t n : {0, 2}) {  // no variables, no residuals
    Host h(rosenbrock());
    h.problem.n = n;
    h.problem.m = 2 - n;
    EXPECT_EQ(solve(h, {}).status, 1);
    EXPECT_TRUE(said(n == 0 ? "Error: No variables code -1" : "Error: No residuals code -1"));
    EXPECT_TRUE(h.records.empty());
    EXPECT_EQ(h.residualCalls, 0);
  }
  {  // null x and r; a Jacobian-vector product alone
    Host h(rosenbrock());
    const char* names[] = {"enableExit"};
    const double values[] = {0};
    double x[2], r[2];
    const double* x0 = h.problem.start.data();
    testing::internal::CaptureStderr();
    EXPECT_EQ(trovik(x0, nullptr, 2, nullptr, 2, residualFn, jacobianFn, nullptr, nullptr, nullptr,
                     iterationFn, names, values, 1, &h),
              1);
    EXPECT_EQ(trovik(x0, x, 2, r, 2, residualFn, nullptr, productFn<false>, nullptr, nullptr,
                     iterationFn, names, values, 1, &h),
              -1);
    err_ = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(said("Error: x is a null pointer code -1"));
    EXPECT_TRUE(said("Jacobian-vector and vector-Jacobian are both required code -1"));
    EXPECT_EQ(h.records.size(), 3u);  // start, version, BLAS
  }
  {  // an inadmissible start
    Problem p = rosenbrock();
    p.residual = [](const double*, double* r) { r[0] = r[1] = INFINITY; };
    Host h(p);
    const Outcome out = solve(h, {});
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(said("Error: v0 is inadmissible\n"));
    EXPECT_EQ(h.records.size(), 3u);
    EXPECT_TRUE(std::isnan(out.x[0]));
  }
  {  // options end at the first null name
    Host h(bard());
    const char* names[] = {"maxit", nullptr, "sdirs"};
    const double values[] = {1, 0, 4};
    double x[3], r[15];
    EXPECT_EQ(trovik(h.problem.start.data(), x, 3, r, 15, residualFn, jacobianFn, nullptr, nullptr,
                     nullptr, iterationFn, names, values, 3, &h),
              1);
    const std::vector<Record> iterations = withKey(h, "tj");
    ASSERT_EQ(iterations.size(), 2u);
    EXPECT_EQ(iterations[0].at("m"), "SD3");  // the default sdirs 8
  }
}

TEST_F(TrovikRunThreaded, MatrixFreeRunsMoveBySteepestDescent) {
  Host h(rosenbrock());
  const Outcome out = solve(h, {{"sdirs", 1}, {"maxit", 20}}, Callbacks::Products);
  const std::vector<Record> iterations = withKey(h, "tj");
  ASSERT_EQ(iterations.size(), 21u);
  EXPECT_EQ(iterations.back().at("m"), "SD0");
  EXPECT_EQ(h.jacobianCalls, 0);
  EXPECT_LT(sumOfSquares(out.r), 0.1 * sumOfSquares(residualsAt(h.problem, h.problem.start)));
}

TEST_F(TrovikRunThreaded, Usr2InTheCallbackSavesAndStops) {
  Host h(bard());
  h.onRecord = [](Host&, const Record& r) {
    if (r.count("tj") && r.at("it") == "1") raise(SIGUSR2);
  };
  const Outcome out = solve(h, {{"saveLast", 0}});
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(h.records.back().at("code"), "30");
  EXPECT_EQ(h.records.back().at("it"), "1");
  EXPECT_TRUE(
      said("USR2 signal caught: will stop at end of iteration\n"
           "Saved state to zelk-current.mat\n"));
  EXPECT_EQ(access("zelk-current.mat", R_OK), 0);
}

TEST_F(TrovikRunThreaded, FailuresInsideAreReportedAtTheBoundary) {
  {  // a host exception: status 1, the point the host's r belongs to
    Problem p = bard();
    int calls = 0;
    p.residual = [residual = p.residual, &calls](const double* x, double* r) {
      if (++calls == 800) throw std::runtime_error("host failure");
      residual(x, r);
    };
    Host h(p);
    const Outcome out = solve(h, {});
    EXPECT_TRUE(said("Error: trovik: host failure\n"));
    EXPECT_EQ(out.status, 1);
    EXPECT_FALSE(std::isnan(out.x[0]));
  }
  {  // a call from inside a callback of the running call
    Host h(rosenbrock());
    int nested = 0;
    h.onRecord = [&nested](Host& host, const Record& r) {
      if (r.count("tj") && nested == 0) nested = run(host, {}).status == 1 ? 1 : 2;
    };
    solve(h, {{"maxit", 0}});
    EXPECT_TRUE(said("Error: trovik refused"));
    EXPECT_EQ(nested, 1);
  }
}

// The port of this process's one listening socket: the monitor's.
int monitorPort() {
  for (int fd = 3; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    sockaddr_in6 addr{};  // room for either family; the port sits at the same offset
    socklen_t len = sizeof addr;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      return ntohs(addr.sin6_port);
  }
  return -1;
}

std::string get(int port, const std::string& path) {
  Fd client = connectLoopback(port);
  sendText(client.get(), "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return readUntilClosed(client.get());
}

TEST_F(TrovikRunThreaded, TheMonitorServesTheRunWhileItGoesOn) {
  Host h(bard());
  std::string history, point;
  h.onRecord = [&](Host&, const Record& r) {
    if (!r.count("tj") || r.at("it") != "2") return;
    const int port = monitorPort();
    history = get(port, "/history");
    point = get(port, "/data/x");
  };
  solve(h, {{"maxit", 3}});
  // Records with "it" so far: the start and iterations 0 to 2.
  std::size_t its = 0;
  for (std::size_t at = history.find("\"it\""); at != std::string::npos;
       at = history.find("\"it\"", at + 1))
    ++its;
  EXPECT_EQ(its, 4u) << history;
  EXPECT_NE(point.find("200 OK"), std::string::npos) << point;
}

// A listening socket on 127.0.0.1:port (0: one the kernel picks, told in
// *bound), or none.
Fd listenOnLoopback(int port, int* bound = nullptr) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(fd.get(), 1) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return Fd();
  if (bound) *bound = ntohs(addr.sin_port);
  return fd;
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
    busy.push_back(listenOnLoopback(0, &base));
    for (int i = 1; i < 10 && busy.back().get() >= 0 && base + 9 <= 65535; ++i)
      busy.push_back(listenOnLoopback(base + i));
    if (busy.size() < 10 || busy.back().get() < 0) busy.clear();
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
  for (const char* key : {"eJ", "eJv", "eJtr"}) EXPECT_LT(valueOf(check, key), 1e-6) << key;
  // The transpose check's scalars can come near 0 (see the fixture): in
  // 200000 draws on Bard, 0.6% of them above 1e-6 and 4e-5 above 1e-4.
  EXPECT_LT(valueOf(check, "eJtw"), 1e-2);
  for (const char* key : {"tJ", "nJ", "tJv", "nv", "nJv", "tJtw", "nw", "nJtw"})
    EXPECT_EQ(check.count(key), 1u) << key;
  EXPECT_EQ(h.records.back().at("code"), "12");

  Host full(bard());  // the whole Jacobian by differences
  solve(full, {{"maxit", 0}, {"checkgradient", 2}});
  EXPECT_LT(valueOf(full.records.at(3), "eJ"), 1e-6);
  EXPECT_EQ(full.records.at(full.records.size() - 2).at("cJfd"), "1");
}

// The checks along a random direction v in (0, 1)^n drawn from the clock
// cannot see a wrong entry J_0j when v_j is small: an error e in it
// changes J v by e v_j, hidden below "tolCheckGrad" about twice in 1000
// runs here for e = 0.5. A scaled Jacobian is wrong by the same relative
// amount along every v: they check that one, and the full check (and the
// NaN) a wrong entry.
TEST_F(TrovikChecksThreaded, WrongDerivativesAreCaught) {
  struct Case {
    double jacobianError, jacobianScale;
    bool writeResiduals;
    Options options;
    Callbacks given;
    const char* message;
  };
  const Callbacks J = Callbacks::Jacobian, P = Callbacks::Products;
  const Case cases[] = {
      {0.0, 1.5, true, {}, J, "Error: Jacobian is incorrect: "},
      {0.5, 1.0, true, {{"checkgradient", 2}}, J, "Error: Jacobian is incorrect: "},
      {0.0, 1.5, true, {}, P, "Error: Jacobian-vector product is incorrect: "},
      {0.0, 1.0, false, {}, J, "Error: Jacobian function result is incorrect: 1 code -1"},
      {std::nan(""), 1.0, true, {{"checkgradient", -1}}, J, "stop: NaN values encountered\n"},
  };
  for (const Case& c : cases) {
    Host h(rosenbrock());
    h.jacobianError = c.jacobianError;
    h.jacobianScale = c.jacobianScale;
    h.writeResiduals = c.writeResiduals;
    Options options = c.options;
    options.push_back({"maxit", 5});
    options.push_back({"tolCheckGrad", 1e-4});
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
  for (const bool nan : {false, true}) {
    EXPECT_EXIT(
        {
          Host h(rosenbrock());
          if (nan)
            h.jacobianError = std::nan("");
          else
            h.jacobianScale = 1.5;
          run(h, {});
        },
        testing::ExitedWithCode(nan ? 3 : 255),
        nan ? "stop: NaN values encountered\n" : "Error: Jacobian is incorrect: ");
  }
}

}  // namespace
