#include "dense/blas_int.h"

#include <fmt/format.h>

#include <climits>
#include <stdexcept>

int to_blas_int(std::size_t n, const char* what) {
  if (n > static_cast<std::size_t>(INT_MAX))
    throw std::length_error(fmt::format(
        "{}: dimension {} exceeds the largest supported dimension {}", what, n, INT_MAX));
  return static_cast<int>(n);
}
