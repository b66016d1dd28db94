#include "httpd/rfc822_message.h"

RFC822Message::RFC822Message(std::string_view text, bool) {
  std::size_t pos = 0;
  for (std::size_t end; (end = text.find("\r\n", pos)) != std::string_view::npos; pos = end + 2) {
    if (end == pos) {
      body.assign(text.substr(end + 2));
      return;
    }
    const std::string_view line = text.substr(pos, end - pos);
    HeaderField field = parseHeaderField(line);
    const bool illegal = field.fault != HeaderField::Fault::None;
    if (!illegal && headers.emplace(std::move(field.name), std::move(field.value)).second) continue;
    ++(illegal ? illegalLines : repeatedLines);
    if (firstIgnored.empty()) firstIgnored.assign(line);
  }
}
