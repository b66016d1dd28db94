#pragma once
// A central difference with an estimate of its own error, and the error a
// derivative check measures against it.
//
// The derivative checks compare a host's derivative a with a central
// difference D(h) = (F(x + h d) - F(x - h d)) / 2h. Both errors of the
// difference can exceed any fixed relative tolerance on a right
// derivative: rounding, when F is large beside its change over 2h (a start
// far from the solution, a steep objective), and truncation, when F bends
// within the step. So every entry carries an estimate e of what it may be
// off by:
//
//   rounding    e = K eps (|F(x + h d)| + |F(x - h d)|) / 2h,  K = 10 for
//               the rounding inside F itself
//   truncation  |D(h) - D(H)| added to e, D(H) the difference at a second,
//               wider step H. The checks' steps (1e-8 of a variable's size
//               for first differences, 1e-6 for second ones) are small, so
//               rounding is their weak side; H is near the step at which
//               rounding and truncation balance (eps^(1/3), eps^(1/4) of the
//               size): its rounding is smaller by H/h ((H/h)^2 for second
//               differences), its truncation larger by (H/h)^2 and still
//               small. Since |a - D(h)| - |D(h) - D(H)| <= |a - D(H)|, a
//               derivative that agrees with either difference passes. It
//               costs a second set of values of F, so a check takes it only
//               when the rounding estimate alone leaves a failure; a wide
//               difference that is not finite adds nothing.
//
// The error a check reports and compares with its tolerance is the part of
// the difference the estimate does not explain, relative to the larger of
// the two derivatives:
//
//   || max(|a - D| - e, 0) || / max(||a||, || max(|D| - e, 0) ||)
//
// (the plain excess when both norms are 0). A right derivative then fails
// only when it differs from the difference by more than the difference's
// own error plus the tolerance; a wrong one by more than that still fails.
// The denominator counts only the part of D above its error, so that noise
// in one entry cannot hide a wrong one elsewhere. With e = 0 this is
// relmaxnorm(a, D).

#include <valarray>

#include "dense/quiet_compare.h"

// The noise factor K: how many rounding errors of its value a host's
// function may carry.
inline constexpr double kRoundingFactor = 10.0;

// H / h for first and second differences: powers of two, so that the wide
// points are as exact as the narrow ones (1e-8 -> about 1e-5, 1e-6 -> about
// 1.3e-4 of a variable's size).
inline constexpr double kWideFirstDifference = 1024.0;
inline constexpr double kWideSecondDifference = 128.0;

struct CentralDifference {
  std::valarray<double> value;  // D(h), entry by entry
  std::valarray<double> error;  // e, what each entry may be off by
  bool truncated = false;       // e holds the truncation estimate
};

// D and its rounding estimate from plus = F(x + h d) and minus = F(x - h d),
// with one step h for every entry or a step per entry. Never traps: values
// that are infinite or NaN give their IEEE results.
CentralDifference centralDifference(const std::valarray<double>& plus,
                                    const std::valarray<double>& minus, double h);
CentralDifference centralDifference(const std::valarray<double>& plus,
                                    const std::valarray<double>& minus,
                                    const std::valarray<double>& h);

// Adds the truncation estimate |D(h) - D(H)| to d's error, wide being D(H)
// (entries that are not finite add nothing), and marks d truncated.
void addTruncation(CentralDifference& d, const std::valarray<double>& wide);

// The checked error of a against D with error e (see above). NaN when a or
// D holds a NaN; an entry whose error is not finite (no estimate) adds no
// excess. Never traps.
double excessError(const std::valarray<double>& a, const std::valarray<double>& D,
                   const std::valarray<double>& e);
inline double excessError(const std::valarray<double>& a, const CentralDifference& d) {
  return excessError(a, d.value, d.error);
}

// The error a check reports: compare() (an excessError against the
// rounding estimate), or, when that exceeds tol, compare() again after
// addTruncation() has added the truncation estimate, so that only a
// doubtful check pays for the second set of values.
template <class Compare, class AddTruncation>
double checkedError(double tol, Compare&& compare, AddTruncation&& addTruncation) {
  const double error = compare();
  if (!quietGreater(error, tol)) return error;
  addTruncation();
  return compare();
}
