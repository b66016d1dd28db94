#pragma once
// The monitor's JSON texts, written by hand into a string.
//
// Strings are quoted with '"', '\' and every control byte escaped, so a
// text from anywhere (an option name, a history value, an error message)
// keeps the document valid. Numbers are "{:.17g}" (fmt is locale-free),
// enough digits to read back the same double; NaN, Inf and -Inf have no
// JSON number and are written as the strings "NaN", "Inf" and "-Inf".

#include <string>
#include <string_view>

void appendJsonString(std::string& out, std::string_view text);
std::string jsonString(std::string_view text);

void appendJsonNumber(std::string& out, double value);
void appendJsonInteger(std::string& out, long long value);

// An array of objects laid out one per line:
// "[" then "\n" and the object for each element, "," between them, then
// "\n]\n"; the empty array is "[\n]\n".
class JsonObjectList {
 public:
  explicit JsonObjectList(std::string& out) : out_(out) { out_ += '['; }
  // Call before writing each element.
  void next() {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '\n';
  }
  // Call once after the last element.
  void close() { out_ += "\n]\n"; }

 private:
  std::string& out_;
  bool first_ = true;
};
