#include "linear/operator_format.h"

#include <string>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

std::ostream& operator<<(std::ostream& os, const ShowOperator& op) {
  // The stream's precision decides the digits of every double, as it would
  // for a plain `os << value`, but the text follows %g rules exactly.
  const std::string doubleFormat =
      fmt::format("{{:.{:d}g}}", static_cast<long long>(os.precision()));
  std::string text = "Operator({";
  bool first = true;
  for (const auto& [key, value] : *op.options) {
    if (!first) text += ", ";
    first = false;
    text += "{\"" + key + "\", ";
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, long>)
            text += std::to_string(v);
          else if constexpr (std::is_same_v<T, double>)
            text += fmt::format(fmt::runtime(doubleFormat), v);
          else if constexpr (std::is_same_v<T, std::string>)
            text += v;
          // a pointer prints nothing
        },
        value);
    text += "}";
  }
  text += "})";
  return os << text;
}
