#include "httpd/log_safe.h"

std::string logSafe(std::string_view text, std::size_t limit) {
  static constexpr char hex[] = "0123456789abcdef";
  const bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  std::string out;
  out.reserve(text.size() + (cut ? 3 : 0));
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    }
  }
  if (cut) out += "...";
  return out;
}
