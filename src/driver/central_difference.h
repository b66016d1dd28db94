#pragma once
// Central differences with an estimate of their own error, the ladder of
// steps a derivative check climbs, and the error the check measures.
//
// The derivative checks compare a host's derivative a with a central
// difference D(h) = (F(x + h d) - F(x - h d)) / 2h (first differences) or
// the second difference of F. A difference at step h is off by
//
//   rounding    at most r = K eps (|F(x + h d)| + |F(x - h d)|) / 2h
//               (first), K eps (|F++| + |F--| + ...) / h^2 (second),
//               K = 10 for the rounding inside F itself; it grows as the
//               step shrinks and with |F|: a start far out, a steep
//               objective, a constant offset added to F
//   truncation  from the curvature of F within the step; it grows as h^2
//
// and no single step serves every F: the checks' steps (1e-8 of a
// variable's size for first differences, 1e-6 for second ones) are small,
// so that truncation is negligible, and rounding is their weak side.
//
// So a check climbs a ladder of steps, each rung a multiple `widen` of the
// narrow steps, as far as its verdict needs:
//
//   1          the narrow steps alone, trusted within their rounding
//   W, 4W      a wide step (W = 1024 for first differences, 128 for second
//              ones, near the step at which rounding and truncation
//              balance), and a partner four times wider that shows its
//              truncation
//   K, 4K      when the wide step's rounding still swamps the tolerance (a
//              large |F|): the step at which rounding falls to a small
//              share of it, from the wide step's rounding, at most 2^-7 of
//              each variable's size, with its partner
//
// With two or more rungs, rung j is trusted within
//
//   e_j = r_j + max(|D_j+1 - D_j| - r_j - r_j+1, 0),
//
// its rounding and the part of its gap to the next wider rung that the two
// roundings do not explain: the truncation of the wider step, which bounds
// its own, or rounding beyond the estimate (an F computed from much larger
// terms, as a sum of squares near a zero residual). A truncation that hides
// within both roundings is a small share of r_j, since truncation grows
// 16 times from one step to the next. The widest rung is not trusted. Each
// entry is judged by the rung with the smallest e: what rounding and
// truncation explain is subtracted, but an entry is never judged by a
// narrow difference that rounding swamps where a wider one holds, so that
// a mistake a better difference exposes counts.
//
// The error a check reports and compares with its tolerance is the part of
// the host's derivative's distance from the reference that e does not
// explain, relative to the larger of the two derivatives:
//
//   || max(|a - D| - e, 0) || / max(||a||, || max(|D| - e, 0) ||)
//
// (the plain excess when both norms are 0). A verdict stands when the
// bounds it used are small, ||e|| within a tenth of the tolerance relative
// to the same scale: then a mistake larger than about 1.1 times the
// tolerance shows. The narrow rung's failing verdict climbs too, since
// alone it has no truncation bound. Where the top of the ladder still
// leaves large bounds (|F| so large beside its change that rounding swamps
// every step at which truncation is small, or a derivative of 0 beside the
// truncation of every step) a mistake within them passes: no difference
// can resolve it.

#include <cmath>
#include <cstddef>
#include <functional>
#include <valarray>
#include <vector>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"

// The noise factor K: how many rounding errors of its value a host's
// function may carry.
inline constexpr double kRoundingFactor = 10.0;

// A verdict stands when its bounds are within this share of the tolerance.
inline constexpr double kResolvedShare = 0.1;

struct CentralDifference {
  std::valarray<double> value;  // D(h), entry by entry
  std::valarray<double> error;  // what each entry may be off by
};

// D and its rounding estimate from plus = F(x + h d) and minus = F(x - h d),
// with one step h for every entry or a step per entry. Never traps: values
// that are infinite or NaN give their IEEE results.
CentralDifference centralDifference(const std::valarray<double>& plus,
                                    const std::valarray<double>& minus, double h);
CentralDifference centralDifference(const std::valarray<double>& plus,
                                    const std::valarray<double>& minus,
                                    const std::valarray<double>& h);

// The error of a against D with error bound e (see above) and the share of
// the scale the bounds take, ||e|| / scale (||e|| when the scale is 0).
// excess is NaN when a or D holds a NaN; an entry whose bound is not finite
// (no estimate) adds no excess, and makes the share infinite. Never traps.
struct Judgement {
  double excess = 0.0;
  double allowance = 0.0;
};
Judgement judge(const std::valarray<double>& a, const std::valarray<double>& D,
                const std::valarray<double>& e);
inline Judgement judge(const std::valarray<double>& a, const CentralDifference& d) {
  return judge(a, d.value, d.error);
}

// The rungs of first and second differences: the wide step, and the
// widest reference step (2^-7 of a variable's size, over the narrow step's
// 1e-8 or 1e-6 of it).
struct LadderShape {
  int order = 1;           // rounding goes as h^-order
  double wide = 1024.0;    // W
  double widest = 0x1p19;  // the largest K
};
inline constexpr LadderShape kFirstDifferences{1, 1024.0, 0x1p19};
inline constexpr LadderShape kSecondDifferences{2, 128.0, 0x1p12};

class DifferenceLadder {
 public:
  // differencesAt(widen): the differences at `widen` times the narrow
  // steps, with their rounding estimates (centralDifference).
  using Differences = std::function<CentralDifference(double widen)>;

  DifferenceLadder(LadderShape shape, Differences differencesAt)
      : shape_(shape), differencesAt_(std::move(differencesAt)) {}

  // Per entry, the trusted difference of the rungs taken so far with the
  // smallest bound e, and that bound; the narrow rung alone at first.
  const CentralDifference& reference();

  // Takes the next rungs: the wide pair after the narrow rung; after it,
  // when the verdict's bounds must shrink by a factor `shrink` > 1, a step
  // K whose rounding is that much below the wide step's, with its partner.
  // False when there is nothing left to take.
  bool climb(double shrink);

  std::size_t rungs() const { return rungs_.size(); }
  // The widening of each rung's step, in the order taken.
  std::vector<double> widenings() const;

 private:
  struct Rung {
    double widen;
    CentralDifference d;
  };
  void take(double widen);
  void combine();

  LadderShape shape_;
  Differences differencesAt_;
  std::vector<Rung> rungs_;  // in increasing widen
  CentralDifference reference_;
  bool current_ = false;     // reference_ holds every rung
  bool climbedFar_ = false;  // K and 4K are taken
};

// The error a check reports: judgeAgainst(ladder.reference()) (a Judgement,
// as judge() gives), judged again after each climb while the verdict does
// not stand: while its bounds exceed kResolvedShare tol, or while the
// narrow rung alone fails it. A NaN verdict stands.
template <class JudgeAgainst>
double judgedError(DifferenceLadder& ladder, double tol, JudgeAgainst&& judgeAgainst) {
  Judgement verdict = judgeAgainst(ladder.reference());
  for (;;) {
    if (std::isnan(verdict.excess)) break;
    const double wanted = kResolvedShare * tol;
    const bool boundsSmall = quietLessEqual(verdict.allowance, wanted);
    if (boundsSmall && (ladder.rungs() > 1 || quietLessEqual(verdict.excess, tol))) break;
    // Aim the next step at half the share, so that the bounds fall within it
    // even when rounding is not all of them.
    const double shrink = quietGreater(verdict.allowance, 0.0) && quietGreater(wanted, 0.0)
                              ? quietly([&] { return verdict.allowance / (0.5 * wanted); })
                              : 1.0;
    if (!ladder.climb(shrink)) break;
    verdict = judgeAgainst(ladder.reference());
  }
  return verdict.excess;
}
