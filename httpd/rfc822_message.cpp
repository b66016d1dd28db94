#include "httpd/rfc822_message.h"

#include <cstdio>

#include "httpd/log_safe.h"

std::string asciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

RFC822Message::RFC822Message(const std::string& text, bool) {
  std::size_t pos = 0;
  for (std::size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
    if (end == pos) {
      body = text.substr(end + 2);
      return;
    }
    const std::string line = text.substr(pos, end - pos);
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || line.find(": ", colon + 2) != std::string::npos) {
      std::fprintf(stderr, "error: cgi: illegal RFC822 header (ignored): %s\n", logSafe(line).c_str());
      continue;
    }
    if (!headers.emplace(asciiLower(line.substr(0, colon)), line.substr(colon + 2)).second)
      std::fprintf(stderr, "error: cgi: duplicate RFC822 header (ignored): %s\n", logSafe(line).c_str());
  }
}
