#include "driver/unwritten_output.h"

#include <bit>

#include "driver/driver_errors.h"

double unwrittenMarker() noexcept { return std::bit_cast<double>(kUnwrittenBits); }

bool isUnwrittenMarker(double value) noexcept {
  return std::bit_cast<std::uint64_t>(value) == kUnwrittenBits;
}

void markUnwritten(double* out, std::size_t n) noexcept {
  const double marker = unwrittenMarker();
  for (std::size_t i = 0; i < n; ++i) out[i] = marker;
}

bool checkWritten(HostEnvironment& host, const char* callback,
                  std::initializer_list<CallbackOutput> outputs) {
  std::string unwritten;
  for (const CallbackOutput& out : outputs)
    for (std::size_t i = 0; i < out.n; ++i) {
      if (!isUnwrittenMarker(out.data[i])) continue;
      if (unwritten.empty())
        unwritten = std::string(out.name) + " unwritten (entry " + std::to_string(i) + " of " +
                    std::to_string(out.n) + ")";
      out.data[i] = 0.0;
    }
  if (unwritten.empty()) return true;
  driverStop(host, std::string(callback) + " callback left " + unwritten, -1);
  return false;
}
