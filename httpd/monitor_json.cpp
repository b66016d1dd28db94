#include "httpd/monitor_json.h"

#include "httpd/json_writer.h"

void appendOptionJson(std::string& out, const std::string& name, const VariantPtrBase& slot) {
  out += "{\"value\": ";
  appendJsonNumber(out, slot.get());
  out += ", \"name\": ";
  appendJsonString(out, name);
  out += ", \"min\": ";
  appendJsonNumber(out, slot.min);
  out += ", \"max\": ";
  appendJsonNumber(out, slot.max);
  out += ", \"readonly\": ";
  appendJsonInteger(out, static_cast<long long>(slot.flags & OptFlag::ReadOnly));
  out += ", \"needsrestart\": ";
  appendJsonInteger(out, static_cast<long long>(slot.flags & OptFlag::NeedsRestart));
  out += ", \"choices\": []}";
}

std::string optionToJSON(const std::string& name, const VariantPtrBase& slot) {
  std::string out;
  appendOptionJson(out, name, slot);
  return out;
}

void appendRecordJson(std::string& out, const IterationRecord& record) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : record) {
    if (!first) out += ", ";
    first = false;
    appendJsonString(out, key);
    out += ": ";
    appendJsonString(out, value);
  }
  out += '}';
}

std::string toJSON(const IterationRecord& record) {
  std::string out;
  appendRecordJson(out, record);
  return out;
}
