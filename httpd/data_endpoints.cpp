// The named data vectors the run lends: one as a JSON array of numbers, and
// the list of names and sizes. The driver changes their contents under
// run.mutex, so they are read under it.

#include "httpd/json_writer.h"
#include "httpd/monitor_endpoints.h"

int handleGetData(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  MonitorSources& s = context.sources;
  const std::string& name = request.parameters["name"];
  const auto it = name.empty() ? s.data.end() : s.data.find(name);
  if (it == s.data.end() || !it->second) return failWith(response, 404, "Data item not found");
  std::string& out = response.body;
  std::lock_guard<std::mutex> lock(s.run.mutex);
  const std::valarray<double>& values = *it->second;
  out.reserve(values.size() * 24 + 2);
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    appendJsonNumber(out, values[i]);
  }
  out += ']';
  return 0;
}

int handleListData(MonitorContext& context, const RequestInfo&, ResponseInfo& response) {
  MonitorSources& s = context.sources;
  std::string& out = response.body;
  out += '[';
  std::lock_guard<std::mutex> lock(s.run.mutex);
  bool first = true;
  for (const auto& [name, values] : s.data) {
    if (!first) out += ", ";
    first = false;
    out += "\n {\"name\": ";
    appendJsonString(out, name);
    out += ", \"size\": ";
    appendJsonInteger(out, values ? static_cast<long long>(values->size()) : 0);
    out += '}';
  }
  out += "\n]";
  return 0;
}
