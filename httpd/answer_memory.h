#pragma once
// The bytes that answers on their way hold, against the server's cap.
//
// An answer holds its own text, and may send text it shares with other
// answers (SharedText): a shared buffer counts once, from the first answer
// that holds it until the last lets it go, so a burst of readers of the
// same history costs its size once. An answer is counted before its first
// byte goes, and only then: one the cap cannot hold is refused whole
// instead of being cut after its head.

#include <cstddef>
#include <map>
#include <mutex>
#include <utility>

class AnswerMemory {
 public:
  // Counts `own` bytes and the buffer `shared` (null: none) of
  // `sharedBytes`, unless another answer counts it already. False, counting
  // nothing, when that would take the total past `cap`.
  bool take(std::size_t own, const void* shared, std::size_t sharedBytes, std::size_t cap);
  // Lets go of what take counted.
  void release(std::size_t own, const void* shared);
  std::size_t total() const;

 private:
  mutable std::mutex mutex_;
  std::map<const void*, std::pair<std::size_t, std::size_t>> shared_;  // holders, bytes
  std::size_t total_ = 0;
};
