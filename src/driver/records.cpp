#include "driver/records.h"

#include <utility>

CharsMap::CharsMap(OutputRecord record) : record_(std::move(record)) {
  keys_.reserve(record_.size());
  values_.reserve(record_.size());
  for (const auto& [key, value] : record_) {
    keys_.push_back(key.c_str());
    values_.push_back(value.c_str());
  }
}
