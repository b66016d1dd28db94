#pragma once
// Copies between a host's flat double arrays and the library's vectors at
// the C entry points.

#include <cstring>
#include <valarray>

#include "dense/fp_class.h"

// len values from p (which may be null when len is 0), copied once, with
// any signalling NaN made quiet (the copy is what the library computes
// with; the host's array is not touched).
inline std::valarray<double> copyIn(const double* p, long len) {
  if (len <= 0) return std::valarray<double>();
  std::valarray<double> v(p, static_cast<std::size_t>(len));
  quietHostValues(&v[0], v.size());
  return v;
}

// Writes v to dst when dst is given and v has exactly len values; a vector
// of another length is never written, so the host's array cannot overflow.
inline void copyOut(double* dst, const std::valarray<double>& v, long len) {
  if (dst != nullptr && len > 0 && v.size() == static_cast<std::size_t>(len))
    std::memcpy(dst, &v[0], v.size() * sizeof(double));
}
