#pragma once
// One request as the listener reads it for the endpoints, and the answer the
// endpoints leave for the response writer.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>

#include "httpd/my_map.h"
#include "httpd/shared_text.h"
#include "httpd/steady_time.h"

struct RequestInfo {
  std::string method;
  std::string path;  // the request target up to the first "?"
  // "PATH_INFO", "QUERY_STRING", "REQUEST_METHOD", "CONTENT_LENGTH",
  // "CONTENT_TYPE", "QUERY_DATA" (the body, kept only for a route that
  // takes a form).
  MyMap<std::string, std::string> variables;
  std::map<std::string, std::string> headers;  // names lower-cased
  // The route's captures, joined by the CGI parameters of other names.
  MyMap<std::string, std::string> parameters;

  // Of the connection.
  long reqid = 0;
  int socket = -1;
  std::string host;
  std::string port;
  std::stop_token stopToken;                // a waiting endpoint answers at once when it is stopped
  SteadyTime deadline = SteadyTime::max();  // parsing the request gives up then

  // True when the peer may have sent bytes that were not read (the request
  // was refused before its end, or more came than it announced). Closing
  // such a socket at once would reset the connection and could destroy the
  // answer on its way, so the connection lingers first.
  bool inputLeft = true;
  // Set when a waiting endpoint is called again: the time it asked to be
  // called by at the latest.
  std::optional<SteadyTime> waitedUntil;
};

// What a waiting endpoint asks for instead of an answer: to be called again
// once `ready` returns true (the listener asks it on every pass; it must be
// quick and must not block) or `until` has come, or at once when the
// connection is stopped.
struct EndpointWait {
  SteadyTime until;
  std::function<bool()> ready;  // null: only the time
};

// What an answer of a followed endpoint (traits.followed) did for its
// client, in positions of what it follows (the history: records held): the
// position the client asked from, none when it gave none (a read of the
// whole), and the one the answer leaves it at.
struct FollowStep {
  std::optional<std::size_t> from;
  std::size_t to = 0;
};

struct ResponseInfo {
  int status = 0;           // 0: not set
  std::string contentType;  // "" means "text/json"
  std::string message;      // error text of a failure
  // The body: this text, then text shared with other answers (the
  // history's records, which every reader of them sends from one copy),
  // then bodyEnd.
  std::string body;
  SharedText sharedBody;
  std::string bodyEnd;
  std::map<std::string, std::string> headers;
  std::optional<EndpointWait> wait;  // a waiting endpoint that has nothing to answer yet
  // Left by a followed endpoint whose client has a position of its own.
  std::optional<FollowStep> followStep;

  std::size_t bodySize() const { return body.size() + sharedBody.text.size() + bodyEnd.size(); }
  std::string bodyText() const {
    std::string text = body;
    text.append(sharedBody.text);
    return text + bodyEnd;
  }
};

// Leaves status and message in the response and returns -1, the failure of
// the parser and of every endpoint.
inline int failWith(ResponseInfo& response, int status, const char* message) {
  response.status = status;
  response.message = message;
  return -1;
}

// 408: the request, or the event a request waits for, did not come in time.
inline int failTimedOut(ResponseInfo& response) {
  return failWith(response, 408, "Request Timeout");
}
