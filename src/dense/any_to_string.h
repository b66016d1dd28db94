#pragma once
// Text of several values written in turn to one string stream.

#include <ios>
#include <ostream>
#include <sstream>
#include <string>

namespace any_to_string_detail {

template <class A>
void put(std::ostream& os, const A& a) {
  os << a;
}

// A null text fails the stream instead of being dereferenced.
inline void put(std::ostream& os, const char* s) {
  if (s)
    os << s;
  else
    os.setstate(std::ios_base::badbit);
}
inline void put(std::ostream& os, char* s) { put(os, static_cast<const char*>(s)); }

}  // namespace any_to_string_detail

// Writes every argument in order with its operator<<; manipulators affect
// what follows them: anyToString("Jac", std::setw(4), std::setfill('0'), 7u)
// is "Jac0007". Once the stream fails (a null text) the result is empty.
template <class... Args>
std::string anyToString(const Args&... args) {
  std::ostringstream os;
  (any_to_string_detail::put(os, args), ...);
  return os ? os.str() : std::string();
}
