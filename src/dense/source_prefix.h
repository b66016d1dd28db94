#pragma once
// Source position prefix of trace lines: "<file stem>:<line>: ", for example
// "comp_linsolve:187: ", so a trace on standard error points back at the code
// that wrote it.

#include <string>
#include <string_view>

namespace source_prefix_detail {

// The file name without directories and without its last extension.
constexpr std::string_view fileStem(std::string_view path) {
  if (auto slash = path.find_last_of('/'); slash != std::string_view::npos)
    path.remove_prefix(slash + 1);
  if (auto dot = path.find_last_of('.'); dot != std::string_view::npos && dot > 0)
    path = path.substr(0, dot);
  return path;
}

inline std::string sourcePrefix(std::string_view file, int line) {
  std::string s(fileStem(file));
  s += ':';
  s += std::to_string(line);
  s += ": ";
  return s;
}

}  // namespace source_prefix_detail

#define ZELK_SRCPOS (::source_prefix_detail::sourcePrefix(__FILE__, __LINE__))
