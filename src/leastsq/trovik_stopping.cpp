#include "leastsq/trovik_stopping.h"

#include "options/global_state.h"

StopReason trovikStoppingRules(const StopTestValues& v) {
  if (state.error != 0) return {33, 1, "error occurred"};
  return testStoppingRules(v);
}
