#pragma once
// Vector operators composed from other operators: normal equations, a
// diagonal shift and a filter applied before an operator.
//
// Each adaptor refers to the operators it wraps without owning them; the
// wrapped objects must outlive it. Binding a temporary is refused at compile
// time. Any callable with operator()(const std::valarray<double>&) const
// fits, lambdas included.

#include <valarray>

#include "dense/length_check.h"
#include "dense/vector_kernels.h"
#include "linear/operator_interfaces.h"

// x -> AT(A(x)).
template <class A, class AT>
class NormalEquations : public VectorOperator {
 public:
  const A& a;
  const AT& at;

  NormalEquations(const A& a_, const AT& at_) : a(a_), at(at_) {}
  NormalEquations(const A&&, const AT&) = delete;
  NormalEquations(const A&, const AT&&) = delete;

  std::valarray<double> operator()(const std::valarray<double>& x) const override {
    return at(a(x));
  }
};

// x -> Op(x) + shift * x. A shift of exactly 0 returns Op(x) untouched; a
// NaN shift counts as non-zero.
template <class Op>
class Shifted : public VectorOperator {
 public:
  const Op& op;
  double shift;

  Shifted(const Op& op_, double shift_) : op(op_), shift(shift_) {}
  Shifted(const Op&&, double) = delete;

  std::valarray<double> operator()(const std::valarray<double>& x) const override {
    std::valarray<double> y = op(x);
    if (shift != 0.0 || shift != shift) {
      // The shift term needs a square operator; anything else would read
      // past the end of x.
      requireSameLength(y.size(), x.size(),
                        "Shifted: operator output length differs from its input");
      addScaled(y, shift, x);
    }
    return y;
  }
};

// x -> Op(Filter(x)): the filter first, then the operator.
template <class Filter, class Op>
class Chained : public VectorOperator {
 public:
  const Filter& filter;
  const Op& op;

  Chained(const Filter& filter_, const Op& op_) : filter(filter_), op(op_) {}
  Chained(const Filter&&, const Op&) = delete;
  Chained(const Filter&, const Op&&) = delete;

  std::valarray<double> operator()(const std::valarray<double>& x) const override {
    return op(filter(x));
  }
};
