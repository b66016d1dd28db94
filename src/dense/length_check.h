#pragma once
// Length agreement of vectors handed between solvers and operators.
//
// The check throws from a function of the library rather than from inline
// code: header templates instantiated in host executables then carry no
// reference to the exception's type information.

#include <cstddef>

// Raises std::invalid_argument with `what` when got != want.
void requireSameLength(std::size_t got, std::size_t want, const char* what);
