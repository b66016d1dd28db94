#pragma once
// The JSON objects of the monitor's answers: an option or status entry, and
// one history record.
//
// Layouts, one object each:
//   option  {"value": V, "name": "N", "min": A, "max": B, "readonly": 0|1,
//            "needsrestart": 0|2, "choices": []}
//   record  {"key": "value", ...} in key order, every value a string.
// Numbers are written by appendJsonNumber, so NaN and the infinities arrive
// as the strings "NaN", "Inf" and "-Inf"; names, keys and values are escaped.

#include <string>

#include "httpd/monitor_data.h"
#include "options/variant_ptr.h"

void appendOptionJson(std::string& out, const std::string& name, const VariantPtrBase& slot);
std::string optionToJSON(const std::string& name, const VariantPtrBase& slot);

void appendRecordJson(std::string& out, const IterationRecord& record);
std::string toJSON(const IterationRecord& record);
