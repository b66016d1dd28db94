// The output callback of the minimisation driver and the state save.

#include "driver/state_file.h"
#include "dense/valarray_data.h"
#include "minimize/zelk_task.h"
#include "options/global_state.h"

int OptimizationTask::outputeval(const std::valarray<double>& x, double f, const char** keys,
                                 const char** values, long count) {
  ++state.nOutput;
  if (output == nullptr) return 0;
  CallbackGuard guard(host);
  return output(dataOrNull(x), static_cast<long>(x.size()), &f, 1, nullptr, nullptr, keys, values,
                count, user);
}

int OptimizationTask::deliver(const OutputRecord& record, const std::valarray<double>& x,
                              double f) {
  CharsMap chars(record);
  return outputeval(x, f, chars.keys(), chars.values(), chars.count());
}

void OptimizationTask::saveState() { saveStateFile(state.current, state.stateFile); }
