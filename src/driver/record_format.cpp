#include "driver/record_format.h"

#include <cmath>

#include <fmt/format.h>

std::string formatRecordInt(long long value) { return fmt::format("{:d}", value); }

std::string formatRecordDouble(double value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return std::signbit(value) ? "-inf" : "inf";
  return fmt::format("{:.17g}", value);
}
