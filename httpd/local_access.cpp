#include "httpd/local_access.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "httpd/header_field.h"

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
  if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);
  return asciiLower(std::string(host)) == "localhost" || isLoopbackAddress(host);
}

bool isLocalOrigin(std::string_view origin) {
  const std::size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos) return false;  // "null" among others
  const std::string_view authority = origin.substr(scheme + 3);
  if (authority.find_first_of("/?#@") != std::string_view::npos) return false;
  return isLocalAuthority(authority);
}

namespace {

// The characters of a registered name in a URI authority: unreserved,
// sub-delims and "%" of percent-encodings.
bool nameChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=%").find(c) != std::string_view::npos;
}

}  // namespace

HostName classifyHost(std::string_view authority, const std::vector<std::string>& ownNames) {
  std::string_view host = authority;
  std::string_view port;
  const bool literal6 = !host.empty() && host.front() == '[';
  if (literal6) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return HostName::Invalid;
    port = host.substr(close + 1);
    if (!port.empty() && port.front() != ':') return HostName::Invalid;
    host = host.substr(1, close - 1);
    in6_addr v6{};
    if (inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1) return HostName::Invalid;
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    port = host.substr(colon);
    host = host.substr(0, colon);
  }
  if (!port.empty() && port.substr(1).find_first_not_of("0123456789") != std::string_view::npos)
    return HostName::Invalid;
  if (literal6) return HostName::ThisMachine;
  if (host.empty() || !std::all_of(host.begin(), host.end(), nameChar)) return HostName::Invalid;
  in_addr v4{};
  if (inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1) return HostName::ThisMachine;
  if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);
  const std::string name = asciiLower(std::string(host));
  if (name == "localhost" || std::find(ownNames.begin(), ownNames.end(), name) != ownNames.end())
    return HostName::ThisMachine;
  return HostName::Elsewhere;
}

std::vector<std::string> hostNamesOf(const std::string& hostName,
                                     const std::string& canonicalName) {
  std::vector<std::string> names;
  const auto add = [&names](std::string name) {
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(std::move(name));
  };
  const std::string host = asciiLower(hostName);
  add(host);
  if (const std::size_t dot = host.find('.'); dot != std::string::npos && dot > 0)
    add(host.substr(0, dot));
  add(asciiLower(canonicalName));
  return names;
}

namespace {

// What the resolver gives as the canonical name of `hostName`; empty when it
// gives none.
std::string canonicalNameOf(const std::string& hostName) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(hostName.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
  std::string name = found->ai_canonname != nullptr ? found->ai_canonname : "";
  freeaddrinfo(found);
  return name;
}

std::vector<std::string> lookUpMachineNames() {
  char buffer[HOST_NAME_MAX + 1] = "";
  if (gethostname(buffer, sizeof buffer) != 0 || buffer[0] == '\0') return {};
  buffer[HOST_NAME_MAX] = '\0';
  return hostNamesOf(buffer, canonicalNameOf(buffer));
}

}  // namespace

std::vector<std::string> machineHostNames() {
  // A lookup may wait for a name server: one per process, not one per run.
  static const std::vector<std::string> names = lookUpMachineNames();
  return names;
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
