#include "httpd/json_writer.h"

#include <cmath>
#include <iterator>

#include <fmt/format.h>

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += hex[(c >> 4) & 0xf];
          out += hex[c & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

void appendJsonNumber(std::string& out, double value) {
  // Classified without ordered comparisons: quiet under armed traps.
  if (std::isnan(value))
    out += "\"NaN\"";
  else if (std::isinf(value))
    out += std::signbit(value) ? "\"-Inf\"" : "\"Inf\"";
  else
    fmt::format_to(std::back_inserter(out), "{:.17g}", value);
}

void appendJsonInteger(std::string& out, long long value) {
  fmt::format_to(std::back_inserter(out), "{:d}", value);
}
