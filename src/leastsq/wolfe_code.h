#pragma once
// Wolfe codes of line-search trials. A trial of step length alpha with
// objective J and slope g (along the searched direction) from a start with
// objective f0 and slope g0 gets four flags, flag k in bit k:
//
//   bit 0 (1)  decrease             J < f0
//   bit 1 (2)  sufficient decrease  J <= f0 + c1 alpha g0
//   bit 2 (4)  curvature            g >= c2 g0
//   bit 3 (8)  strong curvature     |g| <= |c2 g0|
//
// with c1, c2 the options "c1", "c2". A trial without decrease (J >= f0, or
// a NaN anywhere) has code 0; otherwise the flags are computed up to the
// level "wolcheck" (<= 0: decrease only; 1: and sufficient decrease; 2: and
// curvature; >= 3: all four) and the others are 0. A level accepts a code
// when all the flags it computes are set.

#include <valarray>

#include "dense/dataframe.h"

// The four flags of a trial at the given level.
std::valarray<bool> wolfeFlags(double J, double g, double alpha, double f0, double g0, int level);

// flags[0] | flags[1] << 1 | flags[2] << 2 | flags[3] << 3; flags must have
// exactly four entries.
int wccode(const std::valarray<bool>& flags);

// The code of a trial at the given level.
inline int wolfeCode(double J, double g, double alpha, double f0, double g0, int level) {
  return wccode(wolfeFlags(J, g, alpha, f0, g0, level));
}

// The code passes the current "wolcheck" level: (code & 15) == 15 above 2,
// (code & 7) == 7 at 2, (code & 3) == 3 at 1, bit 0 set otherwise.
bool checkWolC(int code);

// checkWolC(wccode(flags)).
bool checkWol(const std::valarray<bool>& flags);

// Keeps the rows of a trial table whose "wc" passes checkWolC, in order;
// with "wolcheck" below 1 the table stays as it is.
void selectValid(DataFrame& table);
