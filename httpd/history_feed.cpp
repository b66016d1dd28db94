#include "httpd/history_feed.h"

#include <algorithm>

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
    std::string json;
    appendRecordJson(json, record);
    if (!starts_.empty()) written_.append(",\n");
    starts_.push_back(written_.size());
    written_.append(json);
  }
  return end;
}

// The records from `from` on as one JSON list (JsonObjectList's layout);
// written_ already joins them as the list writer would, so only the
// brackets are the answer's own.
void HistoryFeed::arrayFrom(std::size_t from, ResponseInfo& out) const {
  if (from >= starts_.size()) {
    out.body = "[\n]\n";
    return;
  }
  out.body = "[\n";
  out.sharedBody = written_.share(starts_[from]);
  out.bodyEnd = "\n]\n";
}

std::size_t HistoryFeed::all(ResponseInfo& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = catchUp(true);
  arrayFrom(0, out);
  return end;
}

std::size_t HistoryFeed::after(std::size_t held, ResponseInfo& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t end = catchUp();
  if (end > held) arrayFrom(held, out);
  return end;
}

bool HistoryFeed::undelivered(ResponseInfo& out) {
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
  arrayFrom(from, out);
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
