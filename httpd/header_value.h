#pragma once
// A header value with ";"-separated attributes, as in
// `multipart/form-data; boundary="xyz"`.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

class HeaderValue {
 public:
  std::map<std::string, std::string> attributes;
  std::string value;  // the text before the first ";", not trimmed
  // Pieces that were not name=value and were ignored; the caller reports them.
  std::size_t illegalPieces = 0;
  std::string firstIllegal;

  HeaderValue() = default;
  // Without parse, the whole text is the value. With it, every piece after
  // the first is trimmed and must be name=value (one pair of surrounding
  // double quotes is removed from the value).
  HeaderValue(std::string_view text, bool parse);
};
