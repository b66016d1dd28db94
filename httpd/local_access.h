#pragma once
// Who may read the run through the monitor, and who may change it.
//
// A browser may be made to send requests to the monitor by any page it
// shows: a page from elsewhere can post a form here, and a host name that
// resolves to this machine (DNS rebinding) can carry a page's script here
// and let it read the answers. Both show in the Host and Origin headers. So
// every request whose Host header names another machine is refused (421):
// a Host must be an IP literal (remote reading by address keeps working),
// "localhost", or one of the machine's own names (its host name, or the
// canonical name the resolver gives for it). Setting an option
// and quitting the server are for programs on this machine only: the peer
// must be a loopback address, and Host and (when there is one) Origin must
// name "localhost" or a loopback address, with any port.
// ZELK_HTTP_ALLOW_REMOTE_SET=1 lifts all of this.

#include <string>
#include <string_view>
#include <vector>

#include "httpd/request_info.h"

// 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8, as numeric text (IPv6
// without brackets).
bool isLoopbackAddress(std::string_view numericHost);

// A Host header value, "host" or "host:port", IPv6 literals in brackets:
// true when host is "localhost" (any case) or a loopback address.
bool isLocalAuthority(std::string_view authority);

// An Origin header value, "scheme://authority": true for a local authority.
bool isLocalOrigin(std::string_view origin);

enum class HostName {
  Invalid,      // not "host[:port]" as a Host header writes it
  ThisMachine,  // an IP literal, "localhost", or one of ownNames
  Elsewhere,
};

// A Host header value against the machine's own names (lower-cased); case
// and one trailing dot do not count.
HostName classifyHost(std::string_view authority, const std::vector<std::string>& ownNames);

// The names of a machine whose host name is `hostName` and whose canonical
// name (what the resolver gives for the host name) is `canonicalName`,
// lower-cased: the host name, its first label when it has several, and the
// canonical name. Empty names are left out, and each name comes once.
std::vector<std::string> hostNamesOf(const std::string& hostName, const std::string& canonicalName);

// hostNamesOf this machine: gethostname(), and its canonical name from
// getaddrinfo (AI_CANONNAME). Only the machine's own name is resolved,
// once per process; a request's Host is only ever compared with the result.
std::vector<std::string> machineHostNames();

// True when the request may change options or end the server.
bool changeAllowed(const RequestInfo& request, bool allowRemote);
