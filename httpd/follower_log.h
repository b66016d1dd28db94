#pragma once
// Where the followers of the history stood when they were last answered, so
// that a closing server knows whom to wait for.
//
// A follower asks again soon after each answer, from the position that
// answer left it at. One left before the history's present end has records
// to fetch (the run's last ones, appended just before its stop), and a
// closing server gives it the chance to come back, however busy its machine
// keeps it between two polls; one left at the end has nothing to fetch and
// holds nothing up. A follower that comes back from position p takes one
// answer that left a follower at p off the log: followers at the same
// position are alike, so whichever it takes, one remains for each of the
// others.
//
// A follower that hangs up while it waits, or does not take an answer, has
// left: it takes one answer at its position off the log the same way.
//
// Bounded, without allocation: at most kCapacity answers are held, the
// oldest giving way. One given way is forgotten: a stop waits for no more
// than kCapacity followers, and a burst of reads of the whole history does
// not make it wait for clients that will not be back.

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

#include "httpd/request_info.h"
#include "httpd/steady_time.h"

class FollowerLog {
 public:
  static constexpr std::size_t kCapacity = 64;

  // A whole answer sent at `at`.
  void answered(SteadyTime at, const FollowStep& step);
  // The follower at `position` left.
  void left(std::size_t position);
  // True when a follower answered at or after `since` and not back since
  // was left before the end; `end` gives the present end, or nothing when
  // it cannot be had now (then any such follower counts as behind). `end`
  // is called only when such a follower exists, outside the log's lock.
  bool anyBehind(SteadyTime since, const std::function<std::optional<std::size_t>()>& end) const;

 private:
  struct Left {
    SteadyTime at;
    std::size_t position;
  };
  mutable std::mutex mutex_;
  std::array<Left, kCapacity> left_{};  // oldest first
  std::size_t count_ = 0;

  void erase(std::size_t i);
  // Under mutex_: takes the newest answer that left a follower at position
  // off the log, if any.
  void takeOff(std::size_t position);
};
