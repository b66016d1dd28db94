#pragma once
// The scope of one host call: the host's trap mask while it lives, the
// driver's again when it ends, also when the host call ends by an
// exception. The driver's signal handlers stay in force (HostEnvironment).

#include "driver/host_environment.h"

class CallbackGuard {
 public:
  explicit CallbackGuard(HostEnvironment& host) noexcept : host_(host) { host_.enterHost(); }
  ~CallbackGuard() { host_.leaveHost(); }
  CallbackGuard(const CallbackGuard&) = delete;
  CallbackGuard& operator=(const CallbackGuard&) = delete;

 private:
  HostEnvironment& host_;
};
