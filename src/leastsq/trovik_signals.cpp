// Signal handlers, host environment and state save of the least-squares
// driver.
//
// SIGINT asks the run to stop at the end of the iteration, SIGUSR1 to save
// its state there, SIGUSR2 to do both. The handlers only post the request
// (signal_requests.h); the driver reads it between iterations. The host's
// dispositions of all three signals and its trap mask are saved once, when
// the driver installs its own, and stay saved in the task whatever happens
// to the run state, so that host calls get the host's trap mask and every
// way out of the call gets all of them back. The handlers stay installed
// through host calls: a signal during a callback is a request like any
// other.

#include "driver/signal_requests.h"
#include "driver/state_file.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"
#include "options/opts.h"

void TrovikOptimizationTask::sigintHandler(int) { postInterruptRequest(); }
void TrovikOptimizationTask::sigusr1Handler(int) { postSaveRequest(); }
void TrovikOptimizationTask::sigusr2Handler(int) { postSaveAndStopRequest(); }

void TrovikOptimizationTask::installHandlers() noexcept {
  DriverEnvironment driver;
  if (opts.enableSigIntHandler != 0) driver.interruptHandler = &sigintHandler;
  if (opts.enableSigUSR1Handler != 0) driver.saveHandler = &sigusr1Handler;
  if (opts.enableSigUSR2Handler != 0) driver.saveAndStopHandler = &sigusr2Handler;
  if (opts.enableFloatExcept != 0) driver.traps = kLeastSquaresTraps;
  host.arm(driver);
}

void TrovikOptimizationTask::saveState() { saveStateFile(state.current, state.stateFile); }
