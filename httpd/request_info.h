#pragma once
// One request as the parser leaves it for the endpoints, and the answer the
// endpoints leave for the response writer.

#include <map>
#include <stop_token>
#include <string>

#include "httpd/my_map.h"

struct RequestInfo {
  std::string method;
  std::string path;  // the request target up to the first "?"
  // "PATH_INFO", "QUERY_STRING", "REQUEST_METHOD", "CONTENT_LENGTH",
  // "CONTENT_TYPE", "QUERY_DATA" (the body).
  MyMap<std::string, std::string> variables;
  std::map<std::string, std::string> headers;  // names lower-cased
  // The CGI parameters, joined by the route's captures (which win).
  MyMap<std::string, std::string> parameters;

  // Copied from the connection's record before parsing.
  long reqid = 0;
  int socket = -1;
  int state = 0;
  int flags = 0;
  std::string host;
  std::string port;
  std::stop_token stopToken;  // stops waiting endpoints

  // True when the peer may have sent bytes that were not read (the request
  // was refused before its end, or more came than it announced). Closing
  // such a socket at once would reset the connection and could destroy the
  // answer on its way, so the writer lingers first.
  bool inputLeft = true;
};

struct ResponseInfo {
  int status = 0;           // 0: not set
  std::string contentType;  // "" means "text/json"
  std::string message;      // reason or error text
  std::string body;
  std::map<std::string, std::string> headers;
};

// Leaves status and message in the response and returns -1, the failure of
// the parser and of every endpoint.
inline int failWith(ResponseInfo& response, int status, const char* message) {
  response.status = status;
  response.message = message;
  return -1;
}

// 408: the request, or the event a request waits for, did not come in time;
// the connection is not kept.
inline int failTimedOut(ResponseInfo& response) {
  response.headers["Connection"] = "close";
  return failWith(response, 408, "Request Timeout");
}
