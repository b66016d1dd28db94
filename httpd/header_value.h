#pragma once
// A header value with ";"-separated attributes, as in
// `multipart/form-data; boundary="xyz"`.

#include <map>
#include <string>

class HeaderValue {
 public:
  std::map<std::string, std::string> attributes;
  std::string value;  // the text before the first ";", not trimmed

  HeaderValue() = default;
  // Without parse, the whole text is the value. With it, every piece after
  // the first is trimmed and must be name=value (one pair of surrounding
  // double quotes is removed from the value); other pieces are reported on
  // standard error and ignored.
  HeaderValue(const std::string& text, bool parse);
};
