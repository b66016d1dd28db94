#pragma once
// Step limits of the Krylov decompositions from the option "decscale".
//
// The bidiagonalisation keeps at most 2^decscale steps and the VKR solver
// at most 2^decscale - 1, the power taken with decscale modulo 32. The power
// is formed in 64 bits (2^31 does not fit a 32-bit signed count) and the
// limit is then clamped by the dimensions, which are what really bound a
// Krylov space.

#include <cstdint>

// 2^(decscale mod 32).
std::uint64_t decscalePower(unsigned int decscale);

// min(rows, cols, 2^(decscale mod 32)): the bidiagonalisation's step limit
// for an operator with `rows` rows and `cols` columns.
std::uint32_t bidStepLimit(std::uint64_t rows, std::uint64_t cols, unsigned int decscale);

// min(2^(decscale mod 32) - 1, n): the VKR step limit for order n.
std::uint32_t vkrStepLimit(std::uint64_t n, unsigned int decscale);
