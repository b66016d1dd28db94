#include "httpd/shared_text.h"

#include <algorithm>
#include <cstring>

void GrowingText::append(std::string_view more) {
  if (more.empty()) return;
  if (size_ + more.size() > capacity_) {
    // Doubling: each byte is copied a bounded number of times, however the
    // text grows.
    const std::size_t capacity = std::max({capacity_ * 2, size_ + more.size(), std::size_t(4096)});
    std::shared_ptr<char[]> grown = std::make_shared_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  std::memcpy(buffer_.get() + size_, more.data(), more.size());
  size_ += more.size();
}

SharedText GrowingText::share(std::size_t from) const {
  from = std::min(from, size_);
  return SharedText{buffer_, std::string_view(buffer_.get() + from, size_ - from), capacity_};
}
