#include "httpd/header_field.h"

namespace {

bool tokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool blankOrTab(char c) { return c == ' ' || c == '\t'; }

// Visible bytes, blanks, tabs and bytes above 0x7f; no other control byte.
bool valueByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
}

}  // namespace

std::string asciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

HeaderField parseHeaderField(std::string_view line) {
  HeaderField field;
  if (!line.empty() && blankOrTab(line.front())) {
    field.fault = HeaderField::Fault::Folded;
    return field;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    field.fault = HeaderField::Fault::NoColon;
    return field;
  }
  const std::string_view name = line.substr(0, colon);
  if (name.empty()) field.fault = HeaderField::Fault::BadName;
  for (const char c : name)
    if (!tokenChar(c)) field.fault = HeaderField::Fault::BadName;
  std::string_view value = line.substr(colon + 1);
  for (const char c : value)
    if (!valueByte(c) && field.fault == HeaderField::Fault::None)
      field.fault = HeaderField::Fault::ControlByte;
  if (field.fault != HeaderField::Fault::None) return field;
  while (!value.empty() && blankOrTab(value.front())) value.remove_prefix(1);
  while (!value.empty() && blankOrTab(value.back())) value.remove_suffix(1);
  field.name = asciiLower(std::string(name));
  field.value.assign(value);
  return field;
}

const char* headerFieldFaultText(HeaderField::Fault fault) {
  switch (fault) {
    case HeaderField::Fault::None:
      return "none";
    case HeaderField::Fault::NoColon:
      return "no colon";
    case HeaderField::Fault::BadName:
      return "invalid name";
    case HeaderField::Fault::Folded:
      return "folded line";
    case HeaderField::Fault::ControlByte:
      return "control byte in the value";
  }
  return "invalid";
}
