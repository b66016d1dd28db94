#include "driver/host_environment.h"

#include <fenv.h>

namespace {

struct sigaction handlerAction(SignalHandler handler) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // what signal() gives on this platform
  return action;
}

}  // namespace

// Every host call switches the mask twice, so this is on the path of every
// objective evaluation. On x86-64 it writes the x87 control word and MXCSR
// directly: the same state the three <fenv.h> calls produce (pending flags
// cleared in both units, the FE_ALL_EXCEPT traps of both set to `traps`, the
// denormal bit and the rounding modes kept), without the two environment
// store/load pairs feclearexcept costs.
void setTrapMask(int traps) noexcept {
#if defined(__x86_64__)
  constexpr unsigned kAll = FE_ALL_EXCEPT;
  const unsigned masked = kAll & ~static_cast<unsigned>(traps);
  unsigned short control;
  __asm__ volatile("fnstcw %0" : "=m"(control));
  __asm__ volatile("fnclex");
  control = static_cast<unsigned short>((control & ~kAll) | masked);
  __asm__ volatile("fldcw %0" : : "m"(control));
  unsigned int csr;
  __asm__ volatile("stmxcsr %0" : "=m"(csr));
  csr &= ~kAll;  // pending flags
  csr = (csr & ~(kAll << 7)) | (masked << 7);
  __asm__ volatile("ldmxcsr %0" : : "m"(csr));
#else
  feclearexcept(FE_ALL_EXCEPT);
  fedisableexcept(FE_ALL_EXCEPT & ~traps);
  if (traps != 0) feenableexcept(traps);
#endif
}

void HostEnvironment::arm(const DriverEnvironment& driver) noexcept {
  if (armed_) return;
  const SignalHandler wanted[3] = {driver.interruptHandler, driver.saveHandler,
                                   driver.saveAndStopHandler};
  for (int i = 0; i < 3; ++i) {
    handlers_[i] = nullptr;
    if (wanted[i] == nullptr) continue;
    const struct sigaction action = handlerAction(wanted[i]);
    if (sigaction(kSignals[i], &action, &host_[i]) == 0) handlers_[i] = wanted[i];
  }
  driverTraps_ = driver.traps;
  if (driverTraps_ != 0) {
    hostTraps_ = fegetexcept();
    fegetexceptflag(&hostFlags_, FE_ALL_EXCEPT);
    setTrapMask(driverTraps_);
  }
  hostDepth_ = 0;
  armed_ = true;
}

void HostEnvironment::enterHost() noexcept {
  if (!armed_ || hostDepth_++ > 0) return;
  if (driverTraps_ != 0) setTrapMask(hostTraps_);
}

void HostEnvironment::leaveHost() noexcept {
  if (!armed_ || hostDepth_ == 0 || --hostDepth_ > 0) return;
  if (driverTraps_ != 0) {
    hostTraps_ = fegetexcept();
    setTrapMask(driverTraps_);
  }
}

void HostEnvironment::restore() noexcept {
  if (!armed_) return;
  for (int i = 0; i < 3; ++i) {
    if (handlers_[i] == nullptr) continue;
    struct sigaction current = {};
    if (sigaction(kSignals[i], nullptr, &current) == 0 && current.sa_handler == handlers_[i])
      sigaction(kSignals[i], &host_[i], nullptr);
    handlers_[i] = nullptr;
  }
  if (driverTraps_ != 0) {
    setTrapMask(hostTraps_);
    fesetexceptflag(&hostFlags_, FE_ALL_EXCEPT);
  }
  driverTraps_ = 0;
  hostDepth_ = 0;
  armed_ = false;
}
