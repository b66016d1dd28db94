#include "httpd/history_feed.h"

#include <algorithm>

#include "httpd/json_writer.h"
#include "httpd/monitor_json.h"

// One record is copied per hold of run.mutex: the driver, which takes it for
// every record it appends, never waits for more than one copy.
std::size_t HistoryFeed::catchUp(bool deliverAll) {
  std::size_t end = 0;
  {
    std::lock_guard<std::mutex> lock(run_.mutex);
    end = history_.size();
    if (deliverAll) {
      run_.delivered = std::max(run_.delivered, end);
      knownDelivered_ = run_.delivered;
    }
  }
  while (starts_.size() < end) {
    IterationRecord record;
    {
      std::lock_guard<std::mutex> lock(run_.mutex);
      record = history_[starts_.size()];
    }
    if (!starts_.empty()) written_ += ",\n";
    starts_.push_back(written_.size());
    appendRecordJson(written_, record);
  }
  return end;
}

// The records from `from` on as one JSON list; written_ already joins them
// as the list writer would.
std::string HistoryFeed::arrayFrom(std::size_t from) const {
  std::string out;
  if (from < starts_.size()) out.reserve(written_.size() - starts_[from] + 8);
  JsonObjectList list(out);
  if (from < starts_.size()) {
    list.next();
    out.append(written_, starts_[from]);
  }
  list.close();
  return out;
}

std::size_t HistoryFeed::all(std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = catchUp(true);
  out = arrayFrom(0);
  return end;
}

std::size_t HistoryFeed::after(std::size_t held, std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = catchUp();
  if (end > held) out = arrayFrom(held);
  return end;
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

void HistoryFeed::refresh() {
  if (!stale_) return;
  std::unique_lock<std::mutex> lock(run_.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return;
  knownSize_ = history_.size();
  knownDelivered_ = run_.delivered;
  stale_ = false;
}
