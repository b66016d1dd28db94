#pragma once
// The result of one solve: a status map (what the front end stored after the
// solve, joined with the solve's options) and the solution vector.
//
// Keys read here, with their kind and the value when missing: "status" long
// 0, "residual" double 0.0, "relerr" double 0.0, "it" long 0, "wtime" double
// 0.0, "maxt" double (largest finite double), "calls" long 0; "tol" double
// and "maxit" long must be present. A key holding another kind, or a missing
// "tol" / "maxit", raises std::bad_variant_access.

#include <valarray>

#include "linear/sized_operator.h"
#include "zelk/zelkcomp.h"

class AlgoStatus : public SizedOperator {
 public:
  std::valarray<double> x;  // the solution

  AlgoStatus() = default;
  AlgoStatus(OptionMap status, std::valarray<double> x_)
      : SizedOperator(std::move(status)), x(std::move(x_)) {}
  AlgoStatus(const AlgoStatus&) = default;
  AlgoStatus(AlgoStatus&& other) noexcept { *this = std::move(other); }
  AlgoStatus& operator=(const AlgoStatus&) = default;
  // Takes over other's map and vector; other is left with an empty map and
  // an empty vector.
  AlgoStatus& operator=(AlgoStatus&& other) noexcept;

  double relerr() const { return getf("relerr", 0.0); }
  double residual() const { return getf("residual", 0.0); }

  // The status word handed to hosts: "status" OR 1 (not residual < tol),
  // 4 (it >= maxit), 8 (not wtime < maxt), 16 (relerr or residual NaN),
  // 32 (relerr or residual infinite). Never negative: a word that would be
  // (a negative code in "status") keeps its low 31 bits, so that bit 30 is
  // set and word - 2^31 gives the negative word back.
  long code() const;

  static constexpr long kNegativeCodeMask = 0x7FFFFFFF;

  // The host record: code(), "wtime", "residual", "relerr", "it", "calls",
  // reserved 0.
  IterativeResult result() const;
};
