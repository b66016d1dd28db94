#pragma once
// One header field line as HTTP/1.1 writes it: a name (a token, with nothing
// between it and the colon), the colon, optional blanks or tabs, the value,
// optional blanks or tabs. A value holds no control byte but the tab; a
// line that starts with a blank or tab continues the last one (an obsolete
// folding that is refused rather than joined).

#include <string>
#include <string_view>

struct HeaderField {
  enum class Fault { None, NoColon, BadName, Folded, ControlByte };
  Fault fault = Fault::None;
  std::string name;   // lower-cased
  std::string value;  // without the blanks and tabs around it
};

// ASCII lower case, whatever locale the host set.
std::string asciiLower(std::string text);

// The line without its line break.
HeaderField parseHeaderField(std::string_view line);

// What is wrong with a field, for logs.
const char* headerFieldFaultText(HeaderField::Fault fault);
