#pragma once
// The damped least-squares operator of a Levenberg-Marquardt step as one
// (m + n) x n matrix,
//
//     A = [ J       ]      A t = [ J t ; d o t ],
//         [ diag(d) ]      A^T w = J^T w_1 + d o w_2,
//
// with w_1 the first m and w_2 the last n entries of w, and d = sqrt(alpha) D.
// min ||A x - [b; 0]|| is min ||J x - b||^2 + alpha ||D x||^2, whose normal
// equations are (J^T J + alpha D^2) x = J^T b. Solvers that want a plain
// least-squares operator (the LSRN solve) get the damping this way without
// ever forming J. Each product costs one J v or one J^T w; the m-vector
// that passes between J and the stack is kept by the closure, not allocated
// per product.

#include <cstddef>
#include <cstdint>
#include <valarray>

#include "dense/fp_class.h"
#include "dense/length_check.h"
#include "dense/quiet_scope.h"

// t (n) -> A t (m + n).
template <class JOp>
class DampedStackProduct {
 public:
  DampedStackProduct(std::uint32_t m, const JOp& J, const std::valarray<double>& d)
      : m_(m), J_(&J), d_(&d), Jt_(m) {}
  DampedStackProduct(std::uint32_t, const JOp&&, const std::valarray<double>&) = delete;
  DampedStackProduct(std::uint32_t, const JOp&, const std::valarray<double>&&) = delete;

  void operator()(const std::valarray<double>& t, std::valarray<double>& out) const {
    const std::size_t n = d_->size();
    requireSameLength(out.size(), m_ + n, "damped stack: the product needs m + n entries");
    (*J_)(t, Jt_);
    out[std::slice(0, m_, 1)] = Jt_;
    // Products of the host may be huge: their overflows become infinities.
    runQuietIf(!productSafeEntries(*d_, t), [&] {
      for (std::size_t i = 0; i < n; ++i) out[m_ + i] = (*d_)[i] * t[i];
    });
  }

 private:
  std::size_t m_;
  const JOp* J_;
  const std::valarray<double>* d_;
  mutable std::valarray<double> Jt_;  // J t, m entries, kept between products
};

// w (m + n) -> A^T w (n).
template <class JTOp>
class DampedStackTransposed {
 public:
  DampedStackTransposed(std::uint32_t m, const JTOp& JT, const std::valarray<double>& d)
      : m_(m), JT_(&JT), d_(&d), w1_(m) {}
  DampedStackTransposed(std::uint32_t, const JTOp&&, const std::valarray<double>&) = delete;
  DampedStackTransposed(std::uint32_t, const JTOp&, const std::valarray<double>&&) = delete;

  void operator()(const std::valarray<double>& w, std::valarray<double>& out) const {
    const std::size_t n = d_->size();
    requireSameLength(w.size(), m_ + n, "damped stack: the input needs m + n entries");
    w1_ = w[std::slice(0, m_, 1)];
    (*JT_)(w1_, out);
    runQuietIf(!productSafeEntries(*d_, w, out), [&] {
      for (std::size_t i = 0; i < n; ++i) out[i] += (*d_)[i] * w[m_ + i];
    });
  }

 private:
  std::size_t m_;
  const JTOp* JT_;
  const std::valarray<double>* d_;
  mutable std::valarray<double> w1_;  // w_1, m entries, kept between products
};
