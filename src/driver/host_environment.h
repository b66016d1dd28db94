#pragma once
// The part of the host's process state a driver call changes, kept so that
// the host gets its own back on every way out of the call.
//
// A running driver installs its handlers for SIGINT, SIGUSR1 and SIGUSR2 and
// its own floating-point trap mask. The host's three dispositions (taken
// with sigaction, SIG_DFL and SIG_IGN included) and its trap mask and
// exception flags are saved when the driver arms, and
//   - around every host call (enterHost / leaveHost, see CallbackGuard) the
//     host's trap mask is in force, the driver's again afterwards. The
//     driver's signal handlers stay installed through host calls: a run
//     spends nearly all its time in them, and a stop or save request
//     (Ctrl-C among them) must be taken whenever it comes, not kill the
//     host because it arrived during a callback;
//   - restore() (also run by the destructor) puts back all of it.
// Before arm() and after restore() the host's state is in force and
// enterHost / leaveHost do nothing. Settings are fixed when the driver arms:
// an option changed during the run cannot leave a trap or a handler behind.
//
// Pending exception flags are cleared before any trap mask is switched on,
// so that a flag raised under one mask cannot fire under the next.

#include <fenv.h>
#include <signal.h>

#include "options/global_state.h"

// What a driver installs while it runs.
struct DriverEnvironment {
  SignalHandler interruptHandler = nullptr;    // SIGINT; null keeps the host's
  SignalHandler saveHandler = nullptr;         // SIGUSR1; null keeps the host's
  SignalHandler saveAndStopHandler = nullptr;  // SIGUSR2; null keeps the host's
  int traps = 0;  // FE_* mask of the driver's arithmetic; 0 leaves the host's
};

// The traps each driver arms for its own arithmetic under
// "enableFloatExcept". Both stop at an invalid operation and an overflow;
// only the least-squares driver also stops at a division by zero. Each mask
// is the one its driver documents and its arithmetic was written and tested
// under: arming divide-by-zero in the minimiser as well would risk a signal
// in the host's process where a harmless infinity is made and handled today.
inline constexpr int kMinimizerTraps = FE_INVALID | FE_OVERFLOW;
inline constexpr int kLeastSquaresTraps = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

class HostEnvironment {
 public:
  HostEnvironment() = default;
  ~HostEnvironment() { restore(); }
  HostEnvironment(const HostEnvironment&) = delete;
  HostEnvironment& operator=(const HostEnvironment&) = delete;

  // Saves what the host has and installs the driver's settings. A second
  // call without restore() in between does nothing.
  void arm(const DriverEnvironment& driver) noexcept;

  // Before a host call: the host's trap mask. Calls nest; only the
  // outermost switches.
  void enterHost() noexcept;
  // After it: the driver's again. A trap mask the host set during the call
  // is kept as the host's from then on.
  void leaveHost() noexcept;

  // Puts back the host's dispositions (a disposition that is no longer the
  // driver's handler is left as it is), trap mask and exception flags.
  void restore() noexcept;

  bool armed() const noexcept { return armed_; }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGUSR1, SIGUSR2};

  struct sigaction host_[3] = {};
  SignalHandler handlers_[3] = {};  // the driver's; null where not installed
  int hostTraps_ = 0;
  fexcept_t hostFlags_ = {};
  int driverTraps_ = 0;
  int hostDepth_ = 0;
  bool armed_ = false;
};

// Switches the trap mask to exactly `traps`, clearing pending flags first.
void setTrapMask(int traps) noexcept;
