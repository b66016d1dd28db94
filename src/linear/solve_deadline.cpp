#include "linear/solve_deadline.h"

#include <limits>

#include "dense/quiet_compare.h"
#include "dense/timer.h"

namespace {

constexpr double kNone = std::numeric_limits<double>::infinity();

// The wall-clock time (get_wall_time) at which the limit passes.
thread_local double deadline = kNone;

}  // namespace

SolveDeadline::SolveDeadline(double seconds) noexcept : previous_(deadline) {
  const double now = get_wall_time();
  // A NaN or infinite limit, or one beyond the clock's range, is none.
  const bool limited = quietLess(seconds, kNone) && quietLess(-kNone, seconds);
  const double at = limited ? now + seconds : kNone;
  if (quietLess(at, deadline)) deadline = at;
}

SolveDeadline::~SolveDeadline() { deadline = previous_; }

bool SolveDeadline::passed() noexcept {
  return deadline != kNone && !quietLess(get_wall_time(), deadline);
}
