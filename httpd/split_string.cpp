#include "httpd/split_string.h"

std::vector<std::string> splitString(const std::string& text, const std::string& sep) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  if (sep.empty()) return {text};
  for (std::size_t at; (at = text.find(sep, pos)) != std::string::npos; pos = at + sep.size())
    pieces.emplace_back(text, pos, at - pos);
  pieces.emplace_back(text, pos);
  return pieces;
}
