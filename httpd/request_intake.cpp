#include "httpd/request_intake.h"

#include <algorithm>

bool RequestIntake::take(std::string_view bytes) {
  received_ += bytes.size();
  switch (phase_) {
    case Phase::Head: {
      // The blank line may straddle the segment boundary.
      const std::size_t scanFrom = data_.size() >= 3 ? data_.size() - 3 : 0;
      data_.append(bytes);
      const std::size_t blank = data_.find("\r\n\r\n", scanFrom);
      if (blank == std::string::npos) return data_.size() < maxHeader_;
      headEnd_ = blank + 4;
      phase_ = Phase::HeadRead;
      return headEnd_ <= maxHeader_;
    }
    case Phase::HeadRead:
      data_.append(bytes);
      return true;
    case Phase::Body:
      takeBody(bytes);
      return true;
    case Phase::Done:
      extra_ = extra_ || !bytes.empty();
      return true;
  }
  return true;
}

void RequestIntake::expectBody(std::size_t length, bool keep) {
  length_ = length;
  keep_ = keep;
  phase_ = length == 0 ? Phase::Done : Phase::Body;
  const std::string_view rest = std::string_view(data_).substr(headEnd_);
  if (phase_ == Phase::Body)
    takeBody(rest);
  else
    extra_ = !rest.empty();
  data_.resize(headEnd_);
}

void RequestIntake::takeBody(std::string_view bytes) {
  const std::size_t wanted = std::min(bytes.size(), length_ - arrived_);
  if (keep_) {
    if (body_.capacity() < body_.size() + wanted)
      body_.reserve(std::min(length_, std::max(2 * body_.size(), body_.size() + wanted)));
    body_.append(bytes.substr(0, wanted));
  }
  arrived_ += wanted;
  extra_ = extra_ || wanted < bytes.size();
  if (arrived_ == length_) phase_ = Phase::Done;
}

std::string_view RequestIntake::head() const {
  const std::string_view all(data_);
  return phase_ == Phase::Head ? all : all.substr(0, headEnd_);
}
