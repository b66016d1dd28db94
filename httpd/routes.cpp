#include "httpd/routes.h"

void RouteTable::add(const std::string& method, const std::string& pattern,
                     std::unique_ptr<HTTPEndPoint> endpoint) {
  Route route{std::regex(pattern, std::regex::ECMAScript), std::move(endpoint)};
  routes_.insert_or_assign(std::make_pair(method, pattern), std::move(route));
}

HTTPEndPoint* RouteTable::match(RequestInfo& request) const {
  std::smatch found;
  for (auto it = routes_.lower_bound({request.method, std::string()});
       it != routes_.end() && it->first.first == request.method; ++it) {
    if (!std::regex_match(request.path, found, it->second.pattern)) continue;
    HTTPEndPoint& endpoint = *it->second.endpoint;
    for (std::size_t i = 0; i < found.size(); ++i) {
      std::string name = i < endpoint.captureNames.size() ? endpoint.captureNames[i]
                                                          : "pm" + std::to_string(i);
      request.parameters.insert_or_assign(std::move(name), found[i].str());
    }
    return &endpoint;
  }
  return nullptr;
}
