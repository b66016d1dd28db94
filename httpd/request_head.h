#pragma once
// The request line and header fields of one request, from its header block.
//
// The request line is "METHOD target [VERSION]" with single blanks; the
// target's path is what comes before the first "?", its query what follows
// (up to a second "?"). A line of another shape, or a method or version
// outside the server's sets, is refused with 501. Every further line must
// be a header field as header_field.h reads it, else 400. A second Host,
// Origin, Content-Length, Content-Type or Transfer-Encoding is refused with
// 400 too: a check must never pass on one copy while another copy is read.
// Other fields given again keep their first value.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "httpd/request_info.h"

struct RequestHead {
  std::string method;
  std::string path;
  std::string query;
  std::string version;                         // "" for a request line of two fields
  std::map<std::string, std::string> headers;  // names lower-cased
  std::size_t repeated = 0;                    // fields given again whose later values were dropped
  std::string problem;                         // what a refusal was about, for the log
};

// block: the header block, from the request line to the blank line that
// ends it (included). 0, or -1 with the status (0 for the writer's 501) and
// the message in response.
int parseRequestHead(std::string_view block, const std::set<std::string>& methods,
                     const std::set<std::string>& versions, RequestHead& head,
                     ResponseInfo& response);
