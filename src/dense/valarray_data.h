#pragma once
// Raw pointers into vectors for calls that take a pointer and a length. An
// empty valarray has no first element to take the address of, so it maps to
// a null pointer.

#include <valarray>

inline double* dataOrNull(std::valarray<double>& v) { return v.size() ? &v[0] : nullptr; }
inline const double* dataOrNull(const std::valarray<double>& v) {
  return v.size() ? &v[0] : nullptr;
}
