// Records of the least-squares driver: into the run's history and to the
// host's iteration callback.

#include <mutex>

#include "dense/valarray_data.h"
#include "driver/callback_guard.h"
#include "driver/records.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"

void TrovikOptimizationTask::iterationeval(const std::valarray<double>& x,
                                           const std::valarray<double>& r,
                                           const IterationRecord& record) {
  if (iteration != nullptr) {
    CharsMap chars(record);
    CallbackGuard guard(host);
    iteration(dataOrNull(x), x.size(), dataOrNull(r), r.size(), nullptr, nullptr, chars.keys(),
              chars.values(), chars.count(), user);
  }
  ++state.iterationCalls();
}

void TrovikOptimizationTask::appendRecord(const IterationRecord& record) {
  if (history == nullptr) return;
  std::unique_lock<std::mutex> lock;
  if (run != nullptr) lock = std::unique_lock<std::mutex>(run->mutex);
  history->push_back(record);
}

void TrovikOptimizationTask::report(const std::valarray<double>& x, const std::valarray<double>& r,
                                    const IterationRecord& record) {
  appendRecord(record);
  iterationeval(x, r, record);
}
