#pragma once
// The stop-request record of one solve. A monitor (the history checker) or a
// failing host callback writes a request into it; the solver polls `state`
// between its steps. Its owner zeroes it before the solve; nothing else
// resets it.

#include <cstdint>

// Values of IterationControl::reason.
namespace StopReason {
inline constexpr std::int32_t NaN = 8;
inline constexpr std::int32_t Infinite = 16;
inline constexpr std::int32_t Cycle = 64;
inline constexpr std::int32_t SlowConvergence = 128;
}  // namespace StopReason

struct IterationControl {
  std::int32_t state = 0;   // 0: iterate on; non-zero: stop requested
  std::int32_t reason = 0;  // a StopReason value; for the record's owner
  double value = 0.0;       // detail: cycle length, smoothed rate, or a
                            // failed callback's return code
  std::int64_t calls = 0;   // host-callback operator calls of the solve
};

static_assert(sizeof(IterationControl) == 24, "state, reason, value, calls: 24 bytes");

// True when a stop was requested; a missing record never asks to stop.
inline bool stopRequested(const IterationControl* control) {
  return control != nullptr && control->state != 0;
}
