#pragma once
// The run's history as the monitor serves it.
//
// The driver appends records under run.mutex while the fit goes on, and
// waits for that mutex on every record. So the monitor holds it only to copy
// a record it has not seen yet, one record per hold: the records are written
// as JSON outside it, once each, kept, and every answer is cut out of what
// is kept. However long the history and however many readers, the fit waits
// for one record's copy at most.
//
// What is kept is text that only grows (shared_text.h): an answer is a view
// of it between the array's brackets, taken under the feed's lock, and
// sent from there without it. However many clients read the history at
// once, they send from the one copy, and none waits for another's.
//
// Positions: a client that passes the index of the last record it holds
// gets every record after it, and clients may follow the history each at
// its own pace. A client that passes none gets what `run.delivered` says no
// client has been sent yet, and moves it on: such clients share one
// position, and the first one answered takes the new records.

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "httpd/monitor_data.h"
#include "httpd/request_info.h"
#include "httpd/shared_text.h"

class HistoryFeed {
 public:
  HistoryFeed(IterationHistory& history, RunInfo& run) : history_(history), run_(run) {}

  // The answers' bodies (ResponseInfo), JSON arrays of records.
  // The whole history into out; delivered moves to its end. The number of
  // records.
  std::size_t all(ResponseInfo& out);
  // The number of records; when it is past `held` (the number of records
  // the client holds), the records after index `held - 1` are in out, else
  // out is untouched.
  std::size_t after(std::size_t held, ResponseInfo& out);
  // The records not yet delivered, into out; delivered moves to the end.
  // False when there are none.
  bool undelivered(ResponseInfo& out);

  // On the listener after every pass: the notes of the history's size and of
  // delivered are due for a look. The first parked poll that asks for them
  // in the next pass takes it, without waiting for run.mutex (when the mutex
  // is busy, the notes stay as they were until the next pass): while no poll
  // waits, the listener never touches the driver's mutex.
  void notice() { stale_ = true; }
  std::size_t knownSize() {
    refresh();
    return knownSize_;
  }
  std::size_t knownDelivered() {
    refresh();
    return knownDelivered_;
  }
  // The history's size as of this pass, or nothing when run.mutex was busy
  // (the note may be older then).
  std::optional<std::size_t> presentSize() {
    refresh();
    if (stale_) return std::nullopt;
    return knownSize_.load();
  }

 private:
  IterationHistory& history_;
  RunInfo& run_;
  std::mutex mutex_;     // guards written_ and starts_; taken before run.mutex, never after
  GrowingText written_;  // the records' JSON objects, ",\n" between them
  std::vector<std::size_t> starts_;  // where each record begins in written_
  std::atomic<std::size_t> knownSize_{0};
  std::atomic<std::size_t> knownDelivered_{0};
  std::atomic<bool> stale_{true};

  void refresh();

  // Under mutex_: writes the records not written yet, and with deliverAll
  // moves delivered to their end (never down); the number of records that
  // the history held when it was called, all of them written now.
  std::size_t catchUp(bool deliverAll = false);
  // Under mutex_: the records [from, written) as a JSON array.
  void arrayFrom(std::size_t from, ResponseInfo& out) const;
};
