#include "httpd/follower_log.h"

#include <algorithm>

void FollowerLog::erase(std::size_t i) {
  std::copy(left_.begin() + static_cast<std::ptrdiff_t>(i + 1),
            left_.begin() + static_cast<std::ptrdiff_t>(count_),
            left_.begin() + static_cast<std::ptrdiff_t>(i));
  --count_;
}

void FollowerLog::takeOff(std::size_t position) {
  // The newest first: an old answer at the same place may be a follower
  // that left long ago, and is let go by its age.
  for (std::size_t i = count_; i-- > 0;)
    if (left_[i].position == position) {
      erase(i);
      return;
    }
}

void FollowerLog::answered(SteadyTime at, const FollowStep& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (step.from) takeOff(*step.from);
  if (count_ == kCapacity) erase(0);
  left_[count_++] = Left{at, step.to};
}

void FollowerLog::left(std::size_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  takeOff(position);
}

bool FollowerLog::anyBehind(SteadyTime since,
                            const std::function<std::optional<std::size_t>()>& end) const {
  std::optional<std::size_t> rearmost;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count_; ++i)
      if (left_[i].at >= since)
        rearmost = std::min(rearmost.value_or(left_[i].position), left_[i].position);
  }
  if (!rearmost) return false;
  const std::optional<std::size_t> now = end ? end() : std::nullopt;
  return !now || *rearmost < *now;
}
