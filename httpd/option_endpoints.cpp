// Reading and setting options, and listing the option and status registries.

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <limits>

#include "httpd/http_server.h"
#include "httpd/json_writer.h"
#include "httpd/monitor_endpoints.h"
#include "httpd/monitor_json.h"
#include "httpd/traps_off.h"
#include "options/option_limits.h"

namespace {

VariantPtrBase* findSlot(const OptionSlots& slots, const std::string& name) {
  if (name.empty()) return nullptr;
  const auto it = slots.find(name);
  return it == slots.end() ? nullptr : it->second;
}

// The JSON array of the entries of `slots`, read-only ones left out unless
// `withReadOnly`.
std::string listSlots(MonitorContext& context, const OptionSlots& slots, bool withReadOnly) {
  std::string out;
  out.reserve(slots.size() * 128);
  JsonObjectList list(out);
  std::lock_guard<std::mutex> lock(context.slotMutex);
  for (const auto& [name, slot] : slots) {
    if (!slot || (!withReadOnly && (slot->flags & OptFlag::ReadOnly))) continue;
    list.next();
    appendOptionJson(out, name, *slot);
  }
  list.close();
  return out;
}

}  // namespace

double parseOptionValue(const std::string& text) {
  // The host's LC_NUMERIC may read "0,5" as a half and "0.5" as zero.
  static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (text.empty()) return nan;
  // strtod raises overflow for "1e999" and underflow for "1e-999".
  TrapsOff traps;
  char* end = nullptr;
  const double value = cLocale ? strtod_l(text.c_str(), &end, cLocale) : strtod(text.c_str(), &end);
  return end == text.c_str() || *end != '\0' ? nan : value;
}

int handleGetOption(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  const std::string& name = request.parameters["name"];
  const VariantPtrBase* slot = findSlot(context.sources.options, name);
  if (!slot) return failWith(response, 404, "Option not found");
  std::lock_guard<std::mutex> lock(context.slotMutex);
  response.body = optionToJSON(name, *slot);
  return 0;
}

// Read-only flags and ranges are for the page to show; the slot stores what
// it is given, converted to its type. A value that is no number has nothing
// to convert to in an integer slot, so it is refused rather than answered
// as a change that did not happen; a floating slot takes it as NaN. A value
// the running driver cannot run with is refused with 400 and its reason,
// not stored.
// Who may set options is the server's check (the route's traits), made
// before the request's body is even read.
int handleSetOption(MonitorContext& context, const RequestInfo& request, ResponseInfo& response) {
  VariantPtrBase* slot = findSlot(context.sources.options, request.parameters["name"]);
  if (!slot) return failWith(response, 404, "Option not found");
  const std::string& text = request.parameters["value"];
  if (text.empty()) return failWith(response, 501, "JSON error: ");
  const double value = parseOptionValue(text);
  if (std::isnan(value) && !dynamic_cast<VariantPtr<double>*>(slot))
    return failWith(response, 501, "JSON error: ");
  {
    std::lock_guard<std::mutex> lock(context.slotMutex);
    if (const std::string refused = changeOptionDuringRun(*slot, value); !refused.empty())
      return failWith(response, 400, refused.c_str());
  }
  response.status = 302;
  response.headers["Location"] = "/index.html";
  return 0;
}

int handleListOptions(MonitorContext& context, const RequestInfo&, ResponseInfo& response) {
  response.body = listSlots(context, context.sources.options, false);
  return 0;
}

int handleListStatus(MonitorContext& context, const RequestInfo&, ResponseInfo& response) {
  response.body = listSlots(context, context.sources.status, true);
  return 0;
}
