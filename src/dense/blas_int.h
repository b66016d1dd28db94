#pragma once
// Dimension width check for calls into CBLAS and LAPACKE.
//
// Matrices count their entries in size_t, but the BLAS interface takes every
// dimension and leading dimension as a plain int. A dimension above INT_MAX
// would wrap silently into a negative or small number, so every conversion
// goes through this check instead of a cast.

#include <cstddef>

// Returns n as an int; throws std::length_error naming `what` when n does not
// fit into an int.
int to_blas_int(std::size_t n, const char* what);
