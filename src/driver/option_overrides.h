#pragma once
// The options a driver call is given: parallel arrays of names and values,
// read up to `count` pairs or the first null name, whichever comes first
// (a repeated name keeps its last value). Null arrays mean no options. A
// signalling NaN among the values is taken as a quiet one: option values
// meet the driver's arithmetic under its traps.
//
// A call starts from the defaults plus these. When one of them holds a value
// the driver cannot run with (options/option_limits.h), the call ends
// before it starts: no callback runs, the process-wide block keeps what it
// held, and standard error says which option and value were refused.

#include <map>
#include <optional>
#include <string>

#include "dense/fp_class.h"
#include "options/option_limits.h"
#include "options/opts.h"

inline std::map<std::string, double> optionOverrides(const char* const* names, const double* values,
                                                     long count) {
  std::map<std::string, double> overrides;
  if (names != nullptr && values != nullptr)
    for (long i = 0; i < count && names[i] != nullptr; ++i) overrides[names[i]] = quieted(values[i]);
  return overrides;
}

// Whether `reader` can run with every value of `loaded`, the block built
// from `overrides`; when not, "Error: option "<name>" = <value> refused:
// <reason>" goes to standard error, with the value as the host gave it.
bool usableOptions(const Opts& loaded, const std::map<std::string, double>& overrides,
                   OptionReader reader);

// The call's options into `opts`, published for the length of `running`
// as read by `reader`; false, with `running` left empty, when they are
// refused.
template <class Block>
bool loadDriverOptions(const char* const* names, const double* values, long count,
                       OptionReader reader, std::optional<RunningOptions>& running) {
  const std::map<std::string, double> overrides = optionOverrides(names, values, count);
  const Block loaded(overrides);
  if (!usableOptions(loaded, overrides, reader)) return false;
  running.emplace(loaded, reader);
  return true;
}
