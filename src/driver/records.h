#pragma once
// The records a driver hands to the host's output or iteration callback.
//
// A record maps short keys to texts; the host sees its entries in the map's
// order (byte order of the keys). Numbers are written by the record
// formatter: integers "{:d}", doubles "{:.17g}".

#include <map>
#include <string>
#include <vector>

#include "driver/record_format.h"

using OutputRecord = std::map<std::string, std::string>;

// A record as the output callback takes it: parallel arrays of pointers to
// NUL-terminated keys and values, into the CharsMap's own copy of the
// record, valid while the CharsMap lives.
class CharsMap {
 public:
  explicit CharsMap(OutputRecord record);
  CharsMap(const CharsMap&) = delete;
  CharsMap& operator=(const CharsMap&) = delete;

  const char** keys() { return keys_.data(); }
  const char** values() { return values_.data(); }
  long count() const { return static_cast<long>(keys_.size()); }

 private:
  OutputRecord record_;
  std::vector<const char*> keys_;
  std::vector<const char*> values_;
};

// record[key] = the value's text (integers "{:d}", doubles "{:.17g}").
inline void setRecord(OutputRecord& r, const std::string& key, long long v) {
  r[key] = formatRecordInt(v);
}
inline void setRecord(OutputRecord& r, const std::string& key, int v) {
  r[key] = formatRecordInt(v);
}
inline void setRecord(OutputRecord& r, const std::string& key, double v) {
  r[key] = formatRecordDouble(v);
}
inline void setRecord(OutputRecord& r, const std::string& key, std::string v) {
  r[key] = std::move(v);
}
inline void setRecord(OutputRecord& r, const std::string& key, const char* v) {
  r[key] = v != nullptr ? v : "";
}
