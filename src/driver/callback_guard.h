#pragma once
// The scope of one host call: the host's trap mask while it lives, the
// driver's again when it ends, also when the host call ends by an
// exception. The driver's signal handlers stay in force (HostEnvironment).
//
// The blocks the call writes may be named. An output holds zeros when the
// call starts, so that a host may add its terms into it (as assembly code
// does) or leave the entries it knows to be zero, and a host that writes
// nothing hands back zeros (its return value is not read). A block that
// holds the caller's values when the call starts (the residuals at the
// driver's point beside a Jacobian or a product, a value whose bits tell
// whether the host wrote it) is named as filled. When the scope ends,
// every signalling NaN the host left in the named blocks is made quiet (by
// its bits) before the driver's traps are back, so that the driver's NaN
// tests and arithmetic meet an ordinary NaN. That pass also tells whether
// a block holds NaN or infinite values; a block may name where to put it
// (`seen`), so that the caller, which knows its own response to them (a
// NaN or an infinity is how a host reports a failed evaluation), need not
// read the block again.

#include <algorithm>
#include <cstddef>

#include "dense/fp_class.h"
#include "driver/host_environment.h"

// A block of doubles a host call writes; zeros when the call starts.
struct HostOutput {
  double* data = nullptr;
  std::size_t size = 0;
  HostValues* seen = nullptr;  // when set, receives what the block held after the call
};

// A block a host call may rewrite, holding the caller's values when it
// starts.
struct FilledHostOutput {
  double* data = nullptr;
  std::size_t size = 0;
  HostValues* seen = nullptr;
};

class CallbackGuard {
 public:
  template <class... Blocks>
  explicit CallbackGuard(HostEnvironment& host, Blocks... blocks) noexcept : host_(host) {
    static_assert(sizeof...(Blocks) <= kMaxBlocks, "a host call writes at most three blocks");
    (name(blocks), ...);
    host_.enterHost();
  }
  ~CallbackGuard() {
    for (int i = 0; i < count_; ++i) {
      const HostValues held = quietHostValues(blocks_[i].data, blocks_[i].size);
      if (blocks_[i].seen != nullptr) *blocks_[i].seen = held;
    }
    host_.leaveHost();
  }
  CallbackGuard(const CallbackGuard&) = delete;
  CallbackGuard& operator=(const CallbackGuard&) = delete;

 private:
  static constexpr int kMaxBlocks = 3;

  void name(HostOutput out) noexcept {
    std::fill_n(out.data, out.size, 0.0);
    blocks_[count_++] = {out.data, out.size, out.seen};
  }
  void name(FilledHostOutput out) noexcept { blocks_[count_++] = out; }

  HostEnvironment& host_;
  FilledHostOutput blocks_[kMaxBlocks] = {};
  int count_ = 0;
};
