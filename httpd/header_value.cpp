#include "httpd/header_value.h"

static std::string_view trimmed(std::string_view text) {
  static constexpr std::string_view blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

HeaderValue::HeaderValue(std::string_view text, bool parse) {
  std::size_t end = parse ? text.find(';') : std::string_view::npos;
  value.assign(text.substr(0, end));
  while (end != std::string_view::npos) {
    const std::size_t start = end + 1;
    end = text.find(';', start);
    const std::string_view piece =
        trimmed(text.substr(start, end == std::string_view::npos ? end : end - start));
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos || piece.find('=', eq + 1) != std::string_view::npos) {
      if (illegalPieces++ == 0) firstIllegal.assign(piece);
      continue;
    }
    std::string_view attr = piece.substr(eq + 1);
    if (attr.size() >= 2 && attr.front() == '"' && attr.back() == '"')
      attr = attr.substr(1, attr.size() - 2);
    attributes[std::string(piece.substr(0, eq))] = std::string(attr);
  }
}
