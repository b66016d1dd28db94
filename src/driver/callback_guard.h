#pragma once
// The scope of one host call: the host's trap mask while it lives, the
// driver's again when it ends, also when the host call ends by an
// exception. The driver's signal handlers stay in force (HostEnvironment).
//
// The blocks the call writes may be named: when the scope ends, every
// signalling NaN the host left in them is made quiet (by its bits) before
// the driver's traps are back, so that the driver's NaN tests and
// arithmetic meet an ordinary NaN. Whether a block holds NaN or infinite
// values is still for the caller to test: each caller knows its own
// response to them.

#include <cstddef>

#include "dense/fp_class.h"
#include "driver/host_environment.h"

// A block of doubles a host call writes.
struct HostOutput {
  double* data = nullptr;
  std::size_t size = 0;
};

class CallbackGuard {
 public:
  explicit CallbackGuard(HostEnvironment& host) noexcept : host_(host) { host_.enterHost(); }
  template <class... Outputs>
  CallbackGuard(HostEnvironment& host, HostOutput first, Outputs... more) noexcept
      : host_(host), outputs_{first, more...}, count_(1 + sizeof...(more)) {
    static_assert(sizeof...(more) < kMaxOutputs, "a host call writes at most three blocks");
    host_.enterHost();
  }
  ~CallbackGuard() {
    for (int i = 0; i < count_; ++i) quietHostValues(outputs_[i].data, outputs_[i].size);
    host_.leaveHost();
  }
  CallbackGuard(const CallbackGuard&) = delete;
  CallbackGuard& operator=(const CallbackGuard&) = delete;

 private:
  static constexpr int kMaxOutputs = 3;
  HostEnvironment& host_;
  HostOutput outputs_[kMaxOutputs] = {};
  int count_ = 0;
};
