#include "leastsq/line_search_context.h"

#include <cstdio>

#include "driver/record_format.h"
#include "options/global_state.h"

bool zeroSlope(const LineSearchContext& context, const std::string& name) {
  if (context.g0 != 0.0) return false;
  std::fprintf(stderr, "Linesearch %s: Warning: direction length 0: %s\n", name.c_str(),
               formatRecordDouble(context.g0).c_str());
  state.status |= 0x40;
  return true;
}
