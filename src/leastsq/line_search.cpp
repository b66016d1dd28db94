#include "leastsq/line_search.h"

#include "options/opts.h"

LSResult lineSearch(LineSearchContext& context, const std::string& name) {
  return opts.lstype == 1 ? lineSearchSorted(context, name) : lineSearchSweep(context, name);
}
