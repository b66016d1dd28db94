#include "httpd/header_value.h"

#include <cstdio>

#include "httpd/log_safe.h"
#include "httpd/split_string.h"

static std::string trimmed(const std::string& text) {
  static constexpr const char* blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

HeaderValue::HeaderValue(const std::string& text, bool parse) {
  if (!parse) {
    value = text;
    return;
  }
  const std::vector<std::string> pieces = splitString(text, ";");
  value = pieces.front();
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string piece = trimmed(pieces[i]);
    const std::size_t eq = piece.find('=');
    if (eq == std::string::npos || piece.find('=', eq + 1) != std::string::npos) {
      std::fprintf(stderr, "error: cgi: illegal parameter to header value (ignored): %s\n",
                   logSafe(piece).c_str());
      continue;
    }
    std::string attr = piece.substr(eq + 1);
    if (attr.size() >= 2 && attr.front() == '"' && attr.back() == '"')
      attr = attr.substr(1, attr.size() - 2);
    attributes[piece.substr(0, eq)] = std::move(attr);
  }
}
