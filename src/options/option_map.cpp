#include "options/option_map.h"

#include <charconv>
#include <limits>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "dense/fp_class.h"
#include "options/option_cast.h"
#include "options/opts.h"

namespace {

// Calls put(name, value) for each entry of the parallel arrays, in order;
// a signalling NaN among numeric values is handed on quiet.
template <class V, class Put>
void for_each_option(const char* const* names, const V* values, long n, Put&& put) {
  if (names == nullptr || values == nullptr || n <= 0) return;
  for (long i = 0; i < n && names[i] != nullptr; ++i) {
    if constexpr (std::is_same_v<V, double>)
      put(names[i], quieted(values[i]));
    else
      put(names[i], values[i]);
  }
}

bool is_nan_text(std::string_view t) {
  if (t.size() != 3) return false;
  for (std::size_t i = 0; i < 3; ++i)
    if ((t[i] | 0x20) != "nan"[i]) return false;
  return true;
}

// The kind decision on "{:.17g}" text. from_chars is independent of the
// process locale, which a host may have changed.
OptionValue parse_value(const std::string& t) {
  const char* first = t.data();
  const char* last = first + t.size();
  long l = 0;
  if (auto [ptr, ec] = std::from_chars(first, last, l); ec == std::errc() && ptr == last)
    return l;
  if (is_nan_text(t)) return std::numeric_limits<double>::quiet_NaN();
  // Every "{:.17g}" text of a double parses back to it exactly.
  double d = std::numeric_limits<double>::quiet_NaN();
  std::from_chars(first, last, d);
  return d;
}

}  // namespace

OptionMap map_union(const OptionMap& a, const OptionMap& b) {
  OptionMap result = b;
  result.insert(a.begin(), a.end());  // keeps b's value on a shared key
  return result;
}

Opts zelkcomp_buildopts(const char* const* names, const double* values, long n) {
  std::map<std::string, double> overrides;
  for_each_option(names, values, n,
                  [&](const char* name, double v) { overrides.insert_or_assign(name, v); });
  return Opts(overrides);
}

std::map<std::string, std::string> zelkcomp_buildoptmap(const char* const* names,
                                                        const char* const* values, long n) {
  std::map<std::string, std::string> result;
  for_each_option(names, values, n, [&](const char* name, const char* v) {
    if (v != nullptr) result.insert_or_assign(name, v);
  });
  return result;
}

std::map<std::string, std::string> zelkcomp_buildoptmap(const char* const* names,
                                                        const double* values, long n) {
  std::map<std::string, std::string> result;
  for_each_option(names, values, n, [&](const char* name, double v) {
    result.insert_or_assign(name, fmt::format("{:.17g}", v));
  });
  return result;
}

OptionMap zelkcomp_buildopts2(const char* const* names, const double* values, long n) {
  OptionMap result;
  for (const auto& [name, text] : zelkcomp_buildoptmap(names, values, n))
    result.emplace(name, parse_value(text));
  return result;
}

// The trace word is set and read from any thread (a host's control thread,
// beside a run or the solves); its accesses are atomic (opts.h).
int zelkcomp_setopt(long which, double v) noexcept {
  if (which != 0) return -1;
  opts.trace = option_cast<unsigned int>(v, opts.trace);
  return 0;
}

int zelkcomp_getopt(long which, double* out) noexcept {
  if (out == nullptr) return 0;
  if (which != 0) return -1;
  *out = static_cast<double>(opts.trace.load());
  return 0;
}

void widenToDouble(OptionMap& options, const std::string& key) {
  auto it = options.find(key);
  if (it != options.end() && std::holds_alternative<long>(it->second))
    it->second = static_cast<double>(std::get<long>(it->second));
}
