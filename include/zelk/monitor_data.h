// What a caller lends the monitor for the length of a run: named data
// vectors, the iteration history, and the record through which the history's
// long poll and the caller meet.
//
// Locking contract (the caller's side). The monitor's workers copy the lent
// vectors and the history's new records while the run goes on, under
// run.mutex, one record per hold of it. So the
// caller (the least-squares driver):
// - appends to the history only while holding run.mutex, and never changes
//   or removes a record once appended;
// - changes the contents of the lent data vectors only while holding
//   run.mutex, and never resizes them (a worker may be reading their
//   storage); the map itself stays as it was lent;
// - holds run.mutex only for such brief updates (the listener's pass skips
//   its look at the history rather than wait for the mutex);
// - never notifies run.cv: the monitor's listener wakes the long polls when
//   it sees the history grown past their positions (the monitor itself
//   waits on no condition variable);
// - keeps all three alive until zelkcomp_stop_httpd has returned.
// `delivered` is read and written only under run.mutex, by the monitor.

#ifndef ZELK_MONITOR_DATA_H
#define ZELK_MONITOR_DATA_H

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <valarray>
#include <vector>

// Named data vectors ("x", "y"), owned by the caller; the server never owns
// or changes them.
using MonitorDataMap = std::map<std::string, std::valarray<double>*>;

// One iteration's values, key to value in byte order of the keys. Numbers
// are formatted "{:d}" and "{:.17g}" (non-finite values as "nan", "inf",
// "-inf"); a key written twice keeps its last value.
using IterationRecord = std::map<std::string, std::string>;

// Every record of a run, in the order the driver made them.
using IterationHistory = std::vector<IterationRecord>;

struct RunInfo {
  std::size_t delivered = 0;  // history entries monitor clients have been sent
  std::mutex mutex;
  std::condition_variable_any cv;
};

#endif
