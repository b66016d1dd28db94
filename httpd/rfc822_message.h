#pragma once
// A block of "Name: value" lines ended by an empty line, and what follows it.

#include <map>
#include <string>

class RFC822Message {
 public:
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;

  RFC822Message() = default;
  // Lines end in "\r\n"; a last piece without one is dropped. Each header
  // line holds exactly one ": "; other lines and repeated names are reported
  // on standard error and ignored (the first value of a name stays). The
  // flag is kept for callers that pass it; names are always lower-cased.
  RFC822Message(const std::string& text, bool lowerCaseNames);
};

// ASCII lower case, whatever locale the host set.
std::string asciiLower(std::string text);
