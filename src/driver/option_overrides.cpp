#include "driver/option_overrides.h"

#include <cstdio>

bool usableOptions(const Opts& loaded, const std::map<std::string, double>& overrides,
                   OptionReader reader) {
  const std::optional<UnusableOption> unusable = unusableOption(loaded, reader);
  if (!unusable) return true;
  const auto given = overrides.find(unusable->name);
  const double value =
      given != overrides.end() ? given->second : loaded.registry.at(unusable->name)->get();
  std::fprintf(stderr, "Error: %s\n",
               refusedOptionText(unusable->name, value, unusable->reason).c_str());
  return false;
}
