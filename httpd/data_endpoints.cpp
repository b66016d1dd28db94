// The named data vectors the run lends: one as a JSON array of numbers, and
// the list of names and sizes. The driver changes their contents under
// run.mutex, so they are copied under it and written out without it.

#include "httpd/json_writer.h"
#include "httpd/monitor_endpoints.h"

int handleGetData(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  MonitorSources& s = context.sources;
  const std::string& name = request.parameters["name"];
  const auto it = name.empty() ? s.data.end() : s.data.find(name);
  if (it == s.data.end() || !it->second) return failWith(response, 404, "Data item not found");
  std::valarray<double> values;
  {
    std::lock_guard<std::mutex> lock(s.run.mutex);
    values = *it->second;
  }
  std::string& out = response.body;
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
  std::vector<std::size_t> sizes;
  {
    std::lock_guard<std::mutex> lock(s.run.mutex);
    for (const auto& entry : s.data) sizes.push_back(entry.second ? entry.second->size() : 0);
  }
  std::string& out = response.body;
  out += '[';
  std::size_t i = 0;
  for (const auto& entry : s.data) {
    if (i > 0) out += ", ";
    out += "\n {\"name\": ";
    appendJsonString(out, entry.first);
    out += ", \"size\": ";
    appendJsonInteger(out, static_cast<long long>(sizes[i++]));
    out += '}';
  }
  out += "\n]";
  return 0;
}
