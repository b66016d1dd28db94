#pragma once
// Copies between a host's flat double arrays and the library's vectors at
// the C entry points.

#include <cstring>
#include <valarray>

// len values from p (which may be null when len is 0).
inline std::valarray<double> copyIn(const double* p, long len) {
  std::valarray<double> v(static_cast<std::size_t>(len > 0 ? len : 0));
  if (len > 0) std::memcpy(&v[0], p, static_cast<std::size_t>(len) * sizeof(double));
  return v;
}

// Writes v to dst when dst is given and v has exactly len values; a vector
// of another length is never written, so the host's array cannot overflow.
inline void copyOut(double* dst, const std::valarray<double>& v, long len) {
  if (dst != nullptr && len > 0 && v.size() == static_cast<std::size_t>(len))
    std::memcpy(dst, &v[0], v.size() * sizeof(double));
}
