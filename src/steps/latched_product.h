#pragma once
// A product closure that trips on its first failure.
//
// Some step solvers hand their closures to an iteration they do not
// control (the LSRN sketch and its conjugate gradients), which cannot be
// stopped from inside a product. LatchedProduct passes every product
// through applyProduct until one is refused (a non-finite input) or comes
// back non-finite. From then on it sets the shared flag, answers zeros and
// never calls the operator again, so the iteration runs out on finite
// numbers without another host call, and the solver reads the flag after
// it. Several closures sharing one flag trip together.

#include <valarray>

#include "steps/product_closure.h"

template <class Op>
class LatchedProduct {
 public:
  LatchedProduct(const Op& op, bool& failed) : op_(&op), failed_(&failed) {}
  // The closure keeps a pointer to the operator: a temporary would dangle.
  LatchedProduct(const Op&&, bool&) = delete;

  void operator()(const std::valarray<double>& in, std::valarray<double>& out) const {
    if (*failed_ || !applyProduct(*op_, in, out)) {
      *failed_ = true;
      out = 0.0;
    }
  }

 private:
  const Op* op_;
  bool* failed_;
};
