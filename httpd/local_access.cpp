#include "httpd/local_access.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "httpd/rfc822_message.h"

bool isLoopbackAddress(std::string_view numericHost) {
  const std::string text(numericHost);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

bool isLocalAuthority(std::string_view authority) {
  std::string_view host = authority;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    return isLoopbackAddress(host.substr(1, close - 1));
  }
  const std::size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    // A second colon without brackets is no host:port.
    if (host.find(':', colon + 1) != std::string_view::npos) return false;
    host = host.substr(0, colon);
  }
  return asciiLower(std::string(host)) == "localhost" || isLoopbackAddress(host);
}

bool isLocalOrigin(std::string_view origin) {
  const std::size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos) return false;  // "null" among others
  const std::string_view authority = origin.substr(scheme + 3);
  if (authority.find_first_of("/?#@") != std::string_view::npos) return false;
  return isLocalAuthority(authority);
}

bool changeAllowed(const RequestInfo& request, bool allowRemote) {
  if (allowRemote) return true;
  if (!isLoopbackAddress(request.host)) return false;
  if (const auto host = request.headers.find("host");
      host != request.headers.end() && !isLocalAuthority(host->second))
    return false;
  if (const auto origin = request.headers.find("origin");
      origin != request.headers.end() && !isLocalOrigin(origin->second))
    return false;
  return true;
}
