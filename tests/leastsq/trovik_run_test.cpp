// The paths of a trovik run: its stop rules and early returns, the records
// it delivers, signals, the stop file, the live monitor, and what every
// return leaves the host. Every run starts the monitor (threads), so the
// suites carry "Threaded" and also run under ThreadSanitizer.

#include <fenv.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "httpd/test_sockets.h"
#include "leastsq/residual_objective.h"
#include "leastsq/trovik_host.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace {

using namespace trovik_host;
using Keys = std::set<std::string>;
using SignalHandler = void (*)(int);

SignalHandler dispositionOf(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

// What a return must leave as the call found it.
struct HostSettings {
  int traps = fegetexcept();
  SignalHandler handlers[3] = {dispositionOf(SIGINT), dispositionOf(SIGUSR1),
                               dispositionOf(SIGUSR2)};

  bool operator==(const HostSettings& o) const {
    return traps == o.traps && handlers[0] == o.handlers[0] && handlers[1] == o.handlers[1] &&
           handlers[2] == o.handlers[2];
  }
};

Keys keysOf(const Record& r) {
  Keys keys;
  for (const auto& [key, value] : r) keys.insert(key);
  return keys;
}

class TrovikRunThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HTTP_PORT", "0", 1);
    ASSERT_FALSE(dir_.path().empty());
  }

  // A run under traps; afterwards the host's settings are back and, when
  // the run wrote r, it holds r(x).
  Outcome solve(Host& h, Options options, Callbacks given = Callbacks::Jacobian) {
    options.push_back({"enableExit", 0});
    FpTrapGuard traps;
    const HostSettings before;
    Outcome out = run(h, options, given);
    EXPECT_TRUE(HostSettings() == before);
    if (!out.r.empty() && !std::isnan(out.r[0])) {
      const Values r = residualsAt(h.problem, out.x);
      for (std::size_t i = 0; i < r.size(); ++i) EXPECT_DOUBLE_EQ(out.r[i], r[i]) << i;
    }
    return out;
  }

  ScratchDir dir_;
};

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
      {"tolerance", rosenbrock(), {}, 0, "27", 0},
      {"stop file", bard(), {{"enableStopFile", 1}}, 1, "31", 1},
  };
  std::FILE* stopFile = std::fopen("stop.txt", "w");
  ASSERT_NE(stopFile, nullptr);
  std::fclose(stopFile);
  for (const Case& c : cases) {
    Host h(c.problem);
    const Outcome out = solve(h, c.options);
    EXPECT_EQ(out.status, c.status) << c.name;
    EXPECT_EQ(h.records.back().at("code"), c.code) << c.name;
    EXPECT_EQ(h.records.back().at("status"), std::to_string(c.status)) << c.name;
    if (c.iterations > 0) {
      EXPECT_EQ(withKey(h, "tj").size(), c.iterations) << c.name;
    }
  }
}

TEST_F(TrovikRunThreaded, RecordsInOrderWithTheirKeys) {
  Host h(bard());
  const Outcome out = solve(h, {{"maxit", 0}});
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
  EXPECT_EQ(keysOf(h.records[6]), (Keys{"J", "it", "status", "code", "exit"}));
  EXPECT_EQ(h.records[6].at("exit"), "maxit reached");
  // Doubles read back as the values they were made from.
  const Values r0 = residualsAt(h.problem, h.problem.start);
  EXPECT_EQ(std::strtod(h.records[0].at("J").c_str(), nullptr),
            evalFunc(std::valarray<double>(r0.data(), r0.size())));
  EXPECT_EQ(std::strtod(h.records[4].at("J").c_str(), nullptr),
            std::strtod(h.records[6].at("J").c_str(), nullptr));
  EXPECT_EQ(h.records[5].at("cf"), std::to_string(h.residualCalls - 1));  // the start's is reset
}

TEST_F(TrovikRunThreaded, EarlyReturns) {
  {  // no variables, no residuals: refused before anything runs
    for (const std::size_t n : {0, 2}) {
      Host h(rosenbrock());
      h.problem.n = n;
      h.problem.m = 2 - n;
      testing::internal::CaptureStderr();
      const Outcome out = solve(h, {});
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(out.status, 1);
      EXPECT_NE(err.find(n == 0 ? "Error: No variables code -1" : "Error: No residuals code -1"),
                std::string::npos);
      EXPECT_TRUE(h.records.empty());
      EXPECT_EQ(h.residualCalls, 0);
    }
  }
  {  // a product without its transpose and no Jacobian
    Host h(rosenbrock());
    const double enableExit[] = {0};
    const char* names[] = {"enableExit"};
    testing::internal::CaptureStderr();
    const int status =
        trovik(h.problem.start.data(), nullptr, 2, nullptr, 2, residualFn, nullptr,
               productFn<false>, nullptr, nullptr, iterationFn, names, enableExit, 1, &h);
    EXPECT_EQ(status, 1);  // x and r null: refused as well
    double x[2], r[2];
    const int onlyJv =
        trovik(h.problem.start.data(), x, 2, r, 2, residualFn, nullptr, productFn<false>, nullptr,
               nullptr, iterationFn, names, enableExit, 1, &h);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(onlyJv, -1);
    EXPECT_NE(err.find("Jacobian-vector and vector-Jacobian are both required code -1"),
              std::string::npos);
    EXPECT_EQ(h.records.size(), 3u);  // start, version, BLAS
  }
  {  // an inadmissible start
    Problem p = rosenbrock();
    p.residual = [](const double*, double* r) { r[0] = r[1] = INFINITY; };
    Host h(p);
    const Outcome out = solve(h, {});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(h.records.size(), 3u);
    EXPECT_TRUE(std::isnan(out.x[0]));
  }
}

TEST_F(TrovikRunThreaded, OptionsEndAtTheFirstNullName) {
  Host h(bard());
  const char* names[] = {"maxit", nullptr, "sdirs", "enableExit"};
  const double values[] = {1, 0, 4, 0};
  double x[3], r[15];
  EXPECT_EQ(trovik(h.problem.start.data(), x, 3, r, 15, residualFn, jacobianFn, nullptr, nullptr,
                   nullptr, iterationFn, names, values, 4, &h),
            1);
  const std::vector<Record> iterations = withKey(h, "tj");
  ASSERT_EQ(iterations.size(), 2u);
  EXPECT_EQ(iterations[0].at("m"), "SD3");  // the default sdirs 8
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
  testing::internal::CaptureStderr();
  const Outcome out = solve(h, {{"saveLast", 0}});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(h.records.back().at("code"), "30");
  EXPECT_EQ(h.records.back().at("it"), "1");
  EXPECT_NE(err.find("USR2 signal caught: will stop at end of iteration\n"
                     "Saved state to zelk-current.mat\n"),
            std::string::npos);
  EXPECT_EQ(access("zelk-current.mat", R_OK), 0);
}

TEST_F(TrovikRunThreaded, FailuresInsideAreReportedAtTheBoundary) {
  {  // a host exception: status 1, the point the host's r belongs to
    Problem p = bard();
    int calls = 0;
    const auto residual = p.residual;
    p.residual = [residual, &calls](const double* x, double* r) {
      if (++calls == 800) throw std::runtime_error("host failure");
      residual(x, r);
    };
    Host h(p);
    testing::internal::CaptureStderr();
    const Outcome out = solve(h, {});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: trovik: host failure\n"),
              std::string::npos);
    EXPECT_EQ(out.status, 1);
    EXPECT_FALSE(std::isnan(out.x[0]));
  }
  {  // a call from inside a callback of the running call
    Host h(rosenbrock());
    int nested = 0;
    h.onRecord = [&nested](Host& host, const Record& r) {
      if (r.count("tj") && nested == 0) nested = run(host, {}).status == 1 ? 1 : 2;
    };
    testing::internal::CaptureStderr();
    solve(h, {{"maxit", 0}});
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Error: trovik refused"),
              std::string::npos);
    EXPECT_EQ(nested, 1);
  }
}

// The port of this process's one listening socket: the monitor's.
int monitorPort() {
  for (int fd = 3; fd < 1024; ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) continue;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) continue;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  }
  return -1;
}

std::string get(int port, const std::string& path) {
  Fd client = connectLoopback(port);
  if (client.get() < 0) return "";
  sendText(client.get(), "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return readUntilClosed(client.get());
}

std::size_t count(const std::string& text, const std::string& word) {
  std::size_t n = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

TEST_F(TrovikRunThreaded, TheMonitorServesTheRunWhileItGoesOn) {
  Host h(bard());
  std::size_t served = 0, delivered = 0;
  std::string point;
  h.onRecord = [&](Host& host, const Record& r) {
    if (!r.count("tj") || r.at("it") != "2") return;
    const int port = monitorPort();
    served = count(get(port, "/history"), "\"it\"");
    delivered = host.records.size();
    point = get(port, "/data/x");
  };
  solve(h, {{"maxit", 3}});
  EXPECT_GT(served, 0u);
  // Records carrying "it": start, iterations 0 to 2.
  EXPECT_EQ(served, 4u) << delivered;
  EXPECT_NE(point.find("200 OK"), std::string::npos) << point;
}

TEST_F(TrovikRunThreaded, AMonitorThatCannotStartLeavesTheRunUnmonitored) {
  setenv("HTTP_PORT", "no-such-service", 1);
  Host h(rosenbrock());
  testing::internal::CaptureStderr();
  const Outcome out = solve(h, {});
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(h.records.back().at("code"), "27");
}

}  // namespace
