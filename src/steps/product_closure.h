#pragma once
// Product closures: how the step solvers reach an operator they never see.
//
// A product closure is any callable op(in, out) with
// `const std::valarray<double>& in` and `std::valarray<double>& out`: out
// already has the product's length on entry and the closure overwrites it
// (the host-product wrappers never resize their outputs). The solvers hold
// references to their closures, never copies, so the closures and whatever
// they capture must outlive the solver.
//
// Every product of a step solver goes through applyProduct. It refuses to
// hand a non-finite vector to the closure and reports a non-finite result,
// which the solver turns into StepStatus::NonFinite.

#include <valarray>

#include "dense/length_check.h"
#include "dense/vector_kernels.h"

// out = op(in). False, without calling op, when `in` has a non-finite entry,
// and false when the product has one. A closure that changes the length of
// out raises std::invalid_argument.
template <class Op>
bool applyProduct(const Op& op, const std::valarray<double>& in, std::valarray<double>& out) {
  if (!allFinite(in)) return false;
  const std::size_t len = out.size();
  op(in, out);
  requireSameLength(out.size(), len, "product closure changed the length of its output");
  return allFinite(out);
}
