#pragma once
// The one HTTP/1.1 answer to a request: its head assembled in memory, its
// body left where the endpoint put it.
//
// Success sends the endpoint's body with its status (200 when none is set).
// Failure sends a JSON error body {"error": "<message>"} (the endpoint's
// message, or "Internal Server Error") with the endpoint's status when it is
// a known one and 500 otherwise. The status line carries the reason phrase
// of its code. Every answer says that the connection closes, that its type
// is not to be guessed from its content, and that no page may frame it;
// content headers come only with a body; the endpoint's own headers follow
// and replace them; all headers go out in byte order of their names.

#include <array>
#include <set>
#include <string>
#include <string_view>

#include "httpd/request_info.h"

// The answer goes out as head, then body: the endpoint's body is sent from
// where it lies (a static file or a history may be megabytes), not copied.
struct ResponseMessage {
  int code = 200;
  std::string reason = "OK";
  std::string head;  // status line, headers, blank line; a failure's JSON body too
  // The endpoint's body in its pieces (ResponseInfo): valid while the
  // ResponseInfo lives; empty for a failure.
  std::array<std::string_view, 3> body{};
};

ResponseMessage composeResponse(const ResponseInfo& response, int dispatchResult,
                                const std::set<int>& knownStatus);

// The reason phrase of a status code ("Found" for 302); "" for a code the
// server never sends.
const char* reasonPhrase(int code);
