// Signals of a least-squares run, the host's dispositions around and after
// it, and the state snapshot.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "leastsq/trovik_task.h"
#include "minimize/mat4_file.h"
#include "tests/leastsq/linear_host.h"
#include "tests/support/scratch_dir.h"

using namespace trovik_test;

namespace {

volatile sig_atomic_t hostInterrupts = 0;
void hostSigint(int) { hostInterrupts = hostInterrupts + 1; }

SignalHandler disposition(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

// The test program's own dispositions, back at the end.
struct SavedDispositions {
  struct sigaction saved[3] = {};
  static constexpr int kSignals[3] = {SIGINT, SIGUSR1, SIGUSR2};
  SavedDispositions() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], nullptr, &saved[i]);
  }
  ~SavedDispositions() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved[i], nullptr);
  }
};

TEST(TrovikSignals, RequestsFromCallbacksAndBetweenThem) {
  const SavedDispositions keep;
  const FreshOptions fresh({{"enableSigIntHandler", 1}});
  signal(SIGINT, hostSigint);
  signal(SIGUSR1, SIG_DFL);
  signal(SIGUSR2, SIG_DFL);
  hostInterrupts = 0;

  LinearHost host = sixByThree();
  Vec x(0.0, 3), r(0.0, 6);
  {
    TrovikOptimizationTask task;
    connect(task, host);
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
        {SIGINT, true, 2, 1, ""},  // the host's own handler takes it
    };
    for (const Step& s : steps) {
      SCOPED_TRACE(testing::Message() << "signal " << s.signal << (s.inCallback ? " inside" : ""));
      testing::internal::CaptureStderr();
      if (s.inCallback) {
        raiseNext = s.signal;
        task.Feval(x, r);
        raiseNext = 0;
      } else {
        raise(s.signal);
      }
      EXPECT_EQ(testing::internal::GetCapturedStderr(), s.text);
      EXPECT_EQ(state.request.load(), s.request);
      EXPECT_EQ(hostInterrupts, s.hostHandled);
    }
    // The host's saved dispositions outlive a run-state reset.
    state.reset();
    raiseNext = SIGINT;
    task.Feval(x, r);
    EXPECT_EQ(hostInterrupts, 2);
    EXPECT_EQ(disposition(SIGINT), &TrovikOptimizationTask::sigintHandler);
    task.restoreHost();
    EXPECT_EQ(disposition(SIGINT), &hostSigint);
    EXPECT_EQ(disposition(SIGUSR1), SIG_DFL);
    EXPECT_EQ(disposition(SIGUSR2), SIG_DFL);
    task.installHandlers();  // the task's end restores as well
  }
  EXPECT_EQ(disposition(SIGINT), &hostSigint);
  EXPECT_EQ(disposition(SIGUSR1), SIG_DFL);
  EXPECT_EQ(disposition(SIGUSR2), SIG_DFL);
}

TEST(TrovikSignals, SaveStateWritesTheCurrentPoint) {
  const ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const FreshOptions fresh;
  state.current = Vec{1.5, -2.0};
  TrovikOptimizationTask task;
  testing::internal::CaptureStderr();
  task.saveState();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Saved state to zelk-current.mat\n");
  const MatrixTemplate<double> saved = readMat4File("zelk-current.mat");
  ASSERT_EQ(saved.rows, 2u);
  ASSERT_EQ(saved.cols, 1u);
  EXPECT_EQ(saved.elements[0], 1.5);
  EXPECT_EQ(saved.elements[1], -2.0);
}

}  // namespace
