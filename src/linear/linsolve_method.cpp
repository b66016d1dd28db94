#include "linear/linsolve_method.h"

#include <map>

namespace Zelk {

namespace {

// Built on first use, so that registrations from any file's static
// initialisers find it constructed.
std::map<std::string, LinsolveMethod, std::less<>>& methodTable() {
  static std::map<std::string, LinsolveMethod, std::less<>> table;
  return table;
}

}  // namespace

void registerLinsolveMethod(std::initializer_list<std::string_view> names,
                            const LinsolveMethod& method) {
  for (std::string_view name : names) methodTable().emplace(std::string(name), method);
}

const LinsolveMethod* findLinsolveMethod(const std::string& name) {
  const auto& table = methodTable();
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace Zelk
