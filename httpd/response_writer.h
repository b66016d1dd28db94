#pragma once
// The one HTTP/1.1 answer to a request, assembled in memory.
//
// Success sends the endpoint's body with its status (200 when none is set)
// and the reason "OK", whatever the status. Failure sends a JSON error body
// {"error": "<reason>"} whose reason is the endpoint's message or "Internal
// Server Error", with the endpoint's status when it is a known one and 500
// otherwise. Content headers come only with a body; the endpoint's own
// headers follow and replace them; all headers go out in byte order of
// their names.

#include <set>
#include <string>

#include "httpd/request_info.h"

struct ResponseMessage {
  int code = 200;
  std::string reason = "OK";
  std::string bytes;  // status line, headers, blank line, body
};

ResponseMessage composeResponse(const ResponseInfo& response, int dispatchResult,
                                const std::set<int>& knownStatus);
