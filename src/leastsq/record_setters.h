#pragma once
// Setters of the least-squares driver's history records: integers as
// "{:d}", doubles as "{:.17g}" (non-finite values as "nan", "-nan", "inf",
// "-inf", written without trapping). A key written twice keeps the last
// value.

#include <string>

#include "driver/record_format.h"
#include "httpd/monitor_data.h"

inline void setRecordInt(IterationRecord& record, const std::string& key, long long value) {
  record[key] = formatRecordInt(value);
}

inline void setRecordDouble(IterationRecord& record, const std::string& key, double value) {
  record[key] = formatRecordDouble(value);
}
