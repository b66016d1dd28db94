// What a run does to the process: signals, exits and the host's signal
// dispositions and trap mask. Each case runs in a child process (a
// "threadsafe" death test), which reports through its exit code.

#include <fenv.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "minimize/host_environment.h"
#include "minimize/zelk_test_host.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace {

using namespace zelk_test;

class ZelkProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_FALSE(dir_.path().empty());
  }
  ScratchDir dir_;
};

[[noreturn]] void exitWith(bool ok) { std::_Exit(ok ? 0 : 1); }

void raiseAtFirstIteration(Host& h, int signal) {
  h.onRecord = [signal](Host&, const Record& r) {
    if (r.count("tj") && r.at("it") == "0") raise(signal);
  };
}

TEST_F(ZelkProcess, Usr1SavesAndGoesOn) {
  EXPECT_EXIT(
      {
        FpTrapGuard traps;
        Host h;
        raiseAtFirstIteration(h, SIGUSR1);
        const Outcome out = run(h, {}, {{"tolGradRel", -1}, {"maxit", 2}, {"saveLast", 0}});
        exitWith(out.status == 1 && h.records.back().at("code") == "12" &&
                 access("zelk-current.mat", R_OK) == 0);
      },
      testing::ExitedWithCode(0),
      "USR1 signal caught: save state at end of iteration\nSaved state to zelk-current.mat\n");
}

TEST_F(ZelkProcess, Usr2SavesAndStops) {
  EXPECT_EXIT(
      {
        FpTrapGuard traps;
        Host h;
        raiseAtFirstIteration(h, SIGUSR2);
        const Outcome out = run(h, {}, {{"tolGradRel", -1}, {"saveLast", 0}});
        exitWith(out.status == 1 && h.records.back().at("code") == "30" &&
                 h.records.back().at("exit") == "user interrupt" &&
                 access("zelk-current.mat", R_OK) == 0);
      },
      testing::ExitedWithCode(0),
      "USR2 signal caught: will stop at end of iteration\nSaved state to zelk-current.mat\n");
}

std::atomic<int> hostInterrupts{0};
void hostInterruptHandler(int) { ++hostInterrupts; }

SignalHandler dispositionOf(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

TEST_F(ZelkProcess, CallbacksRunUnderTheHostsSettingsAndGetThemBack) {
  for (double interruptHandler : {0.0, 1.0})
    EXPECT_EXIT(
        {
          signal(SIGINT, hostInterruptHandler);
          signal(SIGUSR1, SIG_IGN);
          signal(SIGUSR2, SIG_DFL);
          fedisableexcept(FE_ALL_EXCEPT);
          feenableexcept(FE_DIVBYZERO);  // not one of the driver's traps

          Host h;
          bool hostSettings = true;
          h.inCallback = [&](Host&) {
            hostSettings = hostSettings && fegetexcept() == FE_DIVBYZERO &&
                           dispositionOf(SIGINT) == hostInterruptHandler;
          };
          raiseAtFirstIteration(h, SIGINT);  // the host's handler takes it
          // Only the iteration limit ends the run.
          const Outcome out = run(h, {},
                                  {{"enableSigIntHandler", interruptHandler}, {"maxit", 1},
                                   {"tolGradRel", -1}, {"tolGradAbs", -1}, {"tolObjAbs", -1},
                                   {"tolObjRel", -1}},
                                  {true, true, true, true});
          exitWith(hostSettings && out.status == 1 && h.records.back().at("code") == "12" &&
                   hostInterrupts == 1 && fegetexcept() == FE_DIVBYZERO &&
                   dispositionOf(SIGINT) == hostInterruptHandler &&
                   dispositionOf(SIGUSR1) == SIG_IGN && dispositionOf(SIGUSR2) == SIG_DFL);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(ZelkProcess, DriverArithmeticRunsUnderExactlyItsMask) {
  EXPECT_EXIT(
      {
        fedisableexcept(FE_ALL_EXCEPT);
        feenableexcept(FE_DIVBYZERO);
        bool ok = true;
        {
          HostEnvironment env;
          env.arm({nullptr, &hostInterruptHandler, nullptr, FE_INVALID | FE_OVERFLOW});
          ok = ok && fegetexcept() == (FE_INVALID | FE_OVERFLOW);
          ok = ok && dispositionOf(SIGUSR1) == hostInterruptHandler;
          env.enterHost();
          ok = ok && fegetexcept() == FE_DIVBYZERO;
          env.leaveHost();
          ok = ok && fegetexcept() == (FE_INVALID | FE_OVERFLOW);
          // A pending flag of a trap about to be switched on must not fire.
          feraiseexcept(FE_DIVBYZERO);
          env.enterHost();
          env.leaveHost();
        }  // the destructor restores
        exitWith(ok && fegetexcept() == FE_DIVBYZERO && dispositionOf(SIGUSR1) == SIG_DFL);
      },
      testing::ExitedWithCode(0), "");
}

// An output callback that throws at the first iteration: zelk answers 1
// with that iteration's point in x and the host's settings back, and the
// next call runs.
void runThrowingHost() {
  FpTrapGuard traps;
  Host h;
  h.onRecord = [](Host&, const Record& r) {
    if (r.count("tj")) throw std::runtime_error("host failure");
  };
  const std::vector<double> x0 = {0.5, 0.5, 0.5};
  const Outcome out = run(h, x0, {{"enableSigIntHandler", 1}});
  Host next;
  exitWith(out.status == 1 && value(h, out.x.data(), 3) < value(h, x0.data(), 3) &&
           fegetexcept() == (FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW) &&
           dispositionOf(SIGINT) == SIG_DFL && dispositionOf(SIGUSR1) == SIG_DFL &&
           run(next, {}).status == 0);
}

TEST_F(ZelkProcess, AnExceptionFromACallbackLeavesNothingBehind) {
  EXPECT_EXIT(runThrowingHost(), testing::ExitedWithCode(0), "Error: zelk: host failure\n");
}

TEST_F(ZelkProcess, NonFiniteDerivativesEndTheProcessWithThree) {
  EXPECT_EXIT(
      {
        Host h;
        h.nanGradient = true;
        run(h, {});
      },
      testing::ExitedWithCode(3), "stop: NaN values encountered\n");
  EXPECT_EXIT(
      {
        Host h;
        h.nanGradient = true;  // the Hessian callback's gradient
        run(h, {}, {}, {false, true, false, true});
      },
      testing::ExitedWithCode(3), "stop: NaN values encountered\n");
}

// Driver calls from two threads take turns: no callback of one run sees the
// other run active.
TEST(ZelkThreaded, CallsFromTwoThreadsTakeTurns) {
  ScratchDir dir;
  std::atomic<int> active{0};
  std::atomic<bool> overlap{false};
  auto minimise = [&](int id) {
    FpTrapGuard traps;
    for (int round = 0; round < 5; ++round) {
      Host h;
      h.inCallback = [&, id](Host&) {
        int expected = 0;
        if (!active.compare_exchange_strong(expected, id) && expected != id) overlap = true;
      };
      h.onRecord = [&](Host&, const Record& r) {
        if (r.count("exit")) active = 0;
      };
      run(h, {}, {{"saveLast", 0}});
    }
  };
  std::thread a(minimise, 1), b(minimise, 2);
  a.join();
  b.join();
  EXPECT_FALSE(overlap);
}

}  // namespace
