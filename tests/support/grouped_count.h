#pragma once
// A count written the way README.md writes counts: 1889 as "1889", 10001
// as "10,001" (thousands grouped from five digits on).

#include <string>

inline std::string grouped(long n) {
  const std::string digits = std::to_string(n);
  if (n < 10000) return digits;
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}
