#pragma once
// Index ordering of a vector.

#include <cstddef>
#include <valarray>

// The indices of x in ascending order of value. Equal values come out in no
// guaranteed order; NaN entries come last.
std::valarray<std::size_t> argsort(const std::valarray<double>& x);
