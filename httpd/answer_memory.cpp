#include "httpd/answer_memory.h"

bool AnswerMemory::take(std::size_t own, const void* shared, std::size_t sharedBytes,
                        std::size_t cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto held = shared ? shared_.find(shared) : shared_.end();
  const std::size_t added = own + (shared && held == shared_.end() ? sharedBytes : 0);
  if (added > cap || total_ > cap - added) return false;
  if (held != shared_.end())
    ++held->second.first;
  else if (shared)
    shared_.emplace(shared, std::pair<std::size_t, std::size_t>{1, sharedBytes});
  total_ += added;
  return true;
}

void AnswerMemory::release(std::size_t own, const void* shared) {
  std::lock_guard<std::mutex> lock(mutex_);
  total_ -= own;
  if (!shared) return;
  const auto held = shared_.find(shared);
  if (held == shared_.end()) return;
  if (--held->second.first == 0) {
    total_ -= held->second.second;
    shared_.erase(held);
  }
}

std::size_t AnswerMemory::total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}
