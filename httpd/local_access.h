#pragma once
// Who may change the run through the monitor.
//
// Anyone who reaches the port may read; setting an option and quitting the
// server are for programs on this machine. A peer counts as local when the
// address it connected from is a loopback address. A browser on this machine
// is local too, so a page from elsewhere could make it post a form to the
// monitor, or a host name that resolves to 127.0.0.1 could carry its script
// here (DNS rebinding): both show in the headers. So a changing request must
// also name this machine in its Host header and, when it has one, in its
// Origin header: "localhost" or a loopback address, with any port.
// ZELK_HTTP_ALLOW_REMOTE_SET=1 lifts all of this.

#include <string_view>

#include "httpd/request_info.h"

// 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8, as numeric text (IPv6
// without brackets).
bool isLoopbackAddress(std::string_view numericHost);

// A Host header value, "host" or "host:port", IPv6 literals in brackets:
// true when host is "localhost" (any case) or a loopback address.
bool isLocalAuthority(std::string_view authority);

// An Origin header value, "scheme://authority": true for a local authority.
bool isLocalOrigin(std::string_view origin);

// True when the request may change options or end the server.
bool changeAllowed(const RequestInfo& request, bool allowRemote);
