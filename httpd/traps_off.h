#pragma once
// Floating-point traps off for a scope, as they were afterwards.
//
// A thread starts with the floating-point environment of the thread that
// creates it, and a host (or the least-squares driver) may run with traps
// armed for invalid operations, division by zero and overflow. The monitor's
// threads must never inherit them (a strtod("1e999") in an endpoint would be
// SIGFPE in the host), so every monitor thread is created inside this scope.
// Flags that the scope raised are cleared before the traps come back, so
// none fires on the caller's next operation.

#include <fenv.h>

class TrapsOff {
 public:
  TrapsOff() noexcept : traps_(fegetexcept()), flagsBefore_(fetestexcept(FE_ALL_EXCEPT)) {
    if (traps_ > 0) fedisableexcept(FE_ALL_EXCEPT);
  }
  ~TrapsOff() {
    if (traps_ <= 0) return;
    feclearexcept(traps_ & ~flagsBefore_);
    feenableexcept(traps_);
  }
  TrapsOff(const TrapsOff&) = delete;
  TrapsOff& operator=(const TrapsOff&) = delete;

 private:
  int traps_;
  int flagsBefore_;
};
