#include "leastsq/line_search_record.h"

#include "leastsq/record_setters.h"
#include "options/opts.h"

void recordLineSearchPoint(TrovikOptimizationTask& task, const std::valarray<double>& point,
                           const std::valarray<double>& residual, int code, const std::string& name,
                           double alpha, double J, double slope) {
  if (!(opts.trace & 0x400)) return;
  IterationRecord record;
  setRecordDouble(record, "a", alpha);
  setRecordDouble(record, "d", slope);
  setRecordDouble(record, "J", J);
  setRecordInt(record, "wc", code);
  record["m"] = name;
  task.report(point, residual, record);
}
