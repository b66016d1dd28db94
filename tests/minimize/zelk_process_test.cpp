// What a run does to the process: signals, exits and the host's signal
// dispositions and trap mask. Each case runs in a child process (a
// "threadsafe" death test), which reports through its exit code. And the
// driver's trap switch, which must leave the floating-point state exactly
// as the <fenv.h> calls would.

#include <fenv.h>
#include <signal.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include "minimize/zelk_fixtures.h"

namespace {

using namespace zelk_test;

class ZelkProcess : public ZelkTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ZelkTest::SetUp();
  }
};

[[noreturn]] void exitWith(bool ok) { std::_Exit(ok ? 0 : 1); }

void raiseAtFirstIteration(Host& h, int signal) {
  h.onRecord = [signal](Host&, const Record& r) {
    if (r.count("tj") && r.at("it") == "0") raise(signal);
  };
}

TEST_F(ZelkProcess, SaveSignalsSaveAndGoOnOrStop) {
  struct Case {
    int signal;
    Options options;
    const char *code, *exit;
    std::string caught;
  };
  for (const Case& c : {Case{SIGUSR1, {{"maxit", 2}}, "12", "maxit reached",
                             "USR1 signal caught: save state at end of iteration\n"},
                        Case{SIGUSR2, {}, "30", "user interrupt",
                             "USR2 signal caught: will stop at end of iteration\n"}})
    EXPECT_EXIT(
        {
          Host h;
          raiseAtFirstIteration(h, c.signal);
          Options options = c.options;
          options.insert(options.end(), {{"tolGradRel", -1}, {"saveLast", 0}});
          const Outcome out = run(h, {}, options);
          exitWith(out.status == 1 && h.lastCode() == c.code &&
                   h.records.back().at("exit") == c.exit && access("zelk-current.mat", R_OK) == 0);
        },
        testing::ExitedWithCode(0), c.caught + "Saved state to zelk-current.mat\n");
}

std::atomic<int> hostInterrupts{0};
void hostInterruptHandler(int) { ++hostInterrupts; }

SignalHandler dispositionOf(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

// HostEnvironment switches between the driver's exact mask and the host's
// (here FE_DIVBYZERO and SIGUSR1 ignored), and its destructor restores.
bool driverMaskIsExact() {
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
  }
  return ok && fegetexcept() == FE_DIVBYZERO && dispositionOf(SIGUSR1) == SIG_IGN;
}

// Callbacks run under the host's trap mask and the run's signal handlers:
// with "enableSigIntHandler" a SIGINT raised in a callback is the run's.
TEST_F(ZelkProcess, HostCodeRunsUnderTheHostsTrapsTheDriverUnderItsOwn) {
  for (double interruptHandler : {0.0, 1.0})
    EXPECT_EXIT(
        {
          signal(SIGINT, hostInterruptHandler);
          signal(SIGUSR1, SIG_IGN);
          signal(SIGUSR2, SIG_DFL);
          fedisableexcept(FE_ALL_EXCEPT);
          feenableexcept(FE_DIVBYZERO);  // not one of the driver's traps

          const bool runs = interruptHandler != 0;
          Host h;
          bool hostSettings = true;
          h.inCallback = [&](Host&) {
            hostSettings = hostSettings && fegetexcept() == FE_DIVBYZERO &&
                           (dispositionOf(SIGINT) == hostInterruptHandler) != runs;
          };
          raiseAtFirstIteration(h, SIGINT);  // the run's handler takes it, or the host's
          // Only the interrupt or the iteration limit ends the run.
          const Outcome out = run(h, {},
                                  {{"enableSigIntHandler", interruptHandler}, {"maxit", 1},
                                   {"tolGradRel", -1}, {"tolGradAbs", -1}, {"tolObjAbs", -1},
                                   {"tolObjRel", -1}},
                                  {.hessian = true, .product = true});
          exitWith(hostSettings && out.status == 1 && h.lastCode() == (runs ? "30" : "12") &&
                   hostInterrupts == (runs ? 0 : 1) && fegetexcept() == FE_DIVBYZERO &&
                   dispositionOf(SIGINT) == hostInterruptHandler &&
                   dispositionOf(SIGUSR1) == SIG_IGN && dispositionOf(SIGUSR2) == SIG_DFL &&
                   driverMaskIsExact());
        },
        testing::ExitedWithCode(0), "");
}

// The driver's own SIGINT handler, while its code runs between host calls:
// a SIGINT there stops the run at the end of the iteration ("user
// interrupt", code 30, status 1), and the host's disposition is back after
// the call. Another thread sends SIGINT to the run's thread whenever the
// disposition in force is not the host's, which is the driver's handler; one
// that lands in a host call anyway goes to the host's handler, and the
// thread sends again. The iteration limit and the time limit are far off.
void interruptFromAnotherThread() {
  signal(SIGINT, hostInterruptHandler);
  const pthread_t runner = pthread_self();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end) {
      if (dispositionOf(SIGINT) != hostInterruptHandler) pthread_kill(runner, SIGINT);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  Host h;
  const Outcome out = run(h, {},
                          {{"enableSigIntHandler", 1}, {"maxit", 1e6}, {"maxrt", 20},
                           {"tolGradRel", -1}, {"tolGradAbs", -1}, {"tolObjAbs", -1},
                           {"tolObjRel", -1}, {"saveLast", 0}});
  done = true;
  sender.join();
  exitWith(out.status == 1 && h.lastCode() == "30" &&
           h.records.back().at("exit") == "user interrupt" &&
           dispositionOf(SIGINT) == hostInterruptHandler);
}

TEST_F(ZelkProcess, TheDriversInterruptHandlerStopsTheRun) {
  EXPECT_EXIT(interruptFromAnotherThread(), testing::ExitedWithCode(0),
              "Interupt signal caught: stop at end of iteration\n");
}

// An output callback that throws at the first iteration: zelk answers 1
// with that iteration's point in x and the host's settings back, and the
// next call runs.
void runThrowingHost() {
  Host h;
  h.onRecord = [](Host&, const Record& r) {
    if (r.count("tj")) throw std::runtime_error("host failure");
  };
  const std::vector<double> x0 = {0.5, 0.5, 0.5};
  const Outcome out = run(h, x0, {{"enableSigIntHandler", 1}});
  Host next;
  exitWith(out.status == 1 && h.value(out.x.data()) < h.value(x0.data()) &&
           fegetexcept() == (FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW) &&
           dispositionOf(SIGINT) == SIG_DFL && dispositionOf(SIGUSR1) == SIG_DFL &&
           run(next).status == 0);
}

TEST_F(ZelkProcess, AnExceptionFromACallbackLeavesNothingBehind) {
  EXPECT_EXIT(runThrowingHost(), testing::ExitedWithCode(0), "Error: zelk: host failure\n");
}

TEST_F(ZelkProcess, NonFiniteDerivativesEndTheProcessWithThree) {
  // The gradient callback's gradient, and the Hessian callback's.
  for (Callbacks cb : {Callbacks{}, Callbacks{.gradient = false, .hessian = true}}) {
    Host h{.nanGradient = true};
    EXPECT_EXIT(run(h, {}, {}, cb), testing::ExitedWithCode(3), "stop: NaN values encountered\n");
  }
}

void referenceTrapMask(int traps) {
  feclearexcept(FE_ALL_EXCEPT);
  fedisableexcept(FE_ALL_EXCEPT & ~traps);
  if (traps != 0) feenableexcept(traps);
}

TEST(TrapMask, SameStateAsTheFenvCalls) {
  fenv_t saved;
  fegetenv(&saved);
  const int masks[] = {0, FE_INVALID | FE_OVERFLOW, FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW,
                       FE_ALL_EXCEPT, FE_UNDERFLOW | FE_INEXACT};
  for (int from : masks)
    for (int to : masks)
      for (int mode : {FE_TONEAREST, FE_UPWARD, FE_TOWARDZERO}) {
        // x87 control word, x87 exception flags and MXCSR after the fenv
        // calls and after setTrapMask, each from `from` with a non-default
        // rounding and every flag pending whose trap is off.
        std::tuple<unsigned, unsigned, unsigned> state[2];
        for (int own = 0; own < 2; ++own) {
          fesetenv(FE_DFL_ENV);
          fesetround(mode);
          referenceTrapMask(from);
          feraiseexcept(FE_ALL_EXCEPT & ~from);
          own ? setTrapMask(to) : referenceTrapMask(to);
          fenv_t env;
          fegetenv(&env);
          state[own] = {env.__control_word, env.__status_word & 0x3fu, env.__mxcsr};
        }
        fesetenv(&saved);
        EXPECT_EQ(state[1], state[0]) << from << " -> " << to << " rounding " << mode;
      }
}

}  // namespace
