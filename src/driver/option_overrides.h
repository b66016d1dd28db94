#pragma once
// The options a driver call is given: parallel arrays of names and values,
// read up to `count` pairs or the first null name, whichever comes first
// (a repeated name keeps its last value). Null arrays mean no options. A
// signalling NaN among the values is taken as a quiet one: option values
// meet the driver's arithmetic under its traps.

#include <map>
#include <string>

#include "dense/fp_class.h"

inline std::map<std::string, double> optionOverrides(const char* const* names, const double* values,
                                                     long count) {
  std::map<std::string, double> overrides;
  if (names != nullptr && values != nullptr)
    for (long i = 0; i < count && names[i] != nullptr; ++i) overrides[names[i]] = quieted(values[i]);
  return overrides;
}
