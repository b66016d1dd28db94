#pragma once
// Text that many answers send at once without a copy each: the history's
// JSON, which a burst of readers of the same records shares.
//
// A `GrowingText` only grows, and bytes once written are never changed or
// moved: an answer takes a view of what is written together with a
// reference to its buffer (under its owner's lock, which is all the lock is
// held for), and sends from the view without any lock while the owner
// appends after it. When the room runs out the text moves to a buffer twice
// as large; the answers holding the old one keep it until the last lets it
// go.

#include <cstddef>
#include <memory>
#include <string_view>

// A view of shared text, valid while `keeper` lives. `bytes` is what the
// keeper holds, so that the memory of answers counts a buffer once however
// many send from it.
struct SharedText {
  std::shared_ptr<const void> keeper;
  std::string_view text;
  std::size_t bytes = 0;
};

class GrowingText {
 public:
  // By one thread at a time (the owner's lock).
  void append(std::string_view more);
  std::size_t size() const { return size_; }
  // The text from `from` to its present end, with its buffer.
  SharedText share(std::size_t from) const;

 private:
  std::shared_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};
