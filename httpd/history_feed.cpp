#include "httpd/history_feed.h"

#include <algorithm>

#include "httpd/monitor_json.h"

std::size_t HistoryFeed::catchUp(bool deliverAll) {
  std::vector<IterationRecord> fresh;
  {
    std::lock_guard<std::mutex> lock(run_.mutex);
    if (history_.size() > starts_.size())
      fresh.assign(history_.begin() + static_cast<std::ptrdiff_t>(starts_.size()), history_.end());
    if (deliverAll) {
      run_.delivered = std::max(run_.delivered, history_.size());
      knownDelivered_ = run_.delivered;
    }
  }
  for (const IterationRecord& record : fresh) {
    if (!starts_.empty()) written_ += ",\n";
    starts_.push_back(written_.size());
    appendRecordJson(written_, record);
  }
  return starts_.size();
}

// The layout of every JSON list of the monitor: "[", then "\n" and an object
// for each element, "," between them, then "\n]\n".
std::string HistoryFeed::arrayFrom(std::size_t from) const {
  std::string out = "[";
  if (from < starts_.size()) {
    out.reserve(written_.size() - starts_[from] + 8);
    out += '\n';
    out.append(written_, starts_[from]);
  }
  out += "\n]\n";
  return out;
}

std::string HistoryFeed::all() {
  std::lock_guard<std::mutex> lock(mutex_);
  catchUp(true);
  return arrayFrom(0);
}

bool HistoryFeed::after(std::size_t held, std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (catchUp() <= held) return false;
  out = arrayFrom(held);
  return true;
}

bool HistoryFeed::undelivered(std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = catchUp();
  std::size_t from = 0;
  {
    std::lock_guard<std::mutex> runLock(run_.mutex);
    from = run_.delivered;
    if (end <= from) return false;
    run_.delivered = end;
    knownDelivered_ = end;
  }
  out = arrayFrom(from);
  return true;
}

void HistoryFeed::notice() {
  std::unique_lock<std::mutex> lock(run_.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  const std::size_t size = history_.size();
  const std::size_t delivered = run_.delivered;
  lock.unlock();
  knownSize_ = size;
  knownDelivered_ = delivered;
  if (size != delivered) run_.cv.notify_all();
}
