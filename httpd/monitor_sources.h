#pragma once
// What a run lends its monitor: the option and status registries, the named
// data vectors, the iteration history and the run record. The routes enter
// handlers over them; the handlers read them.

#include <map>
#include <string>

#include "httpd/monitor_data.h"
#include "options/variant_ptr.h"

using OptionSlots = std::map<std::string, VariantPtrBase*>;

struct MonitorSources {
  OptionSlots& options;
  OptionSlots& status;
  MonitorDataMap& data;
  IterationHistory& history;
  RunInfo& run;
};
