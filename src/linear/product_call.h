#pragma once
// The two shapes of product closure that the templated solvers accept:
//
//   y = op(x)       returns the product (the operator classes, lambdas);
//   op(x, y)        overwrites y, which the caller has sized to the
//                   product's length (the step solvers' closures over host
//                   products, which never resize their outputs).
//
// callProduct hides the difference, so one solver template serves both
// kinds of caller without an adaptor object per product.

#include <cstddef>
#include <type_traits>
#include <valarray>

// op applied to `in`; outLen is the length of the product and is only used
// for the second shape.
template <class Op>
std::valarray<double> callProduct(const Op& op, const std::valarray<double>& in,
                                  std::size_t outLen) {
  if constexpr (std::is_invocable_r_v<std::valarray<double>, const Op&,
                                      const std::valarray<double>&>) {
    return op(in);
  } else {
    std::valarray<double> out(outLen);
    op(in, out);
    return out;
  }
}
