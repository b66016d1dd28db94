#pragma once
// A block of header field lines ended by an empty line, and what follows it:
// the headers of one part of a multipart form.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "httpd/header_field.h"

class RFC822Message {
 public:
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
  // Lines that were ignored: not a header field (header_field.h), or a name
  // given again (the first value stays). The caller reports them.
  std::size_t illegalLines = 0;
  std::size_t repeatedLines = 0;
  std::string firstIgnored;  // the first ignored line

  RFC822Message() = default;
  // Lines end in "\r\n"; a last piece without one is dropped. The flag is
  // kept for callers that pass it; names are always lower-cased.
  RFC822Message(std::string_view text, bool lowerCaseNames);
};
