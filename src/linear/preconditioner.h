#pragma once
// Diagonal preconditioner of a Hessian known only through block products
// H V (V an n x k block), built without forming H: from the row sums
// u = H 1 and, at the higher levels, one more product.
//
// Levels of update():
//   < 0  no preconditioner (an empty vector, no product);
//   0    all ones (one product, to set `scale`);
//   1    |1/u|;
//   2    |1/(H v) + 1/u|          with v = u / ||u||;
//   3    |1/(H v) + 1/u + 1/(u + H v)|.
// An entry of magnitude at most 1e-16 counts as zero: at level >= 1 it sets
// bit 0x100 of the run state's status. Reciprocals of zeros become 1 (or,
// for 1/u with the option precondZero set, the zero stays). Levels above 3
// are not defined: they leave the vector empty, like a negative level, so
// that the callers fall back to no preconditioning.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <valarray>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "options/global_state.h"
#include "options/opts.h"

template <class Op>
class Preconditioner {
 public:
  const Op& op;         // the Hessian block product; not owned
  std::int64_t n;       // number of variables
  double tol;           // eigenvalue tolerance (option evtol)
  std::int64_t maxit;   // eigenvalue iteration limit (option evmaxit)
  std::int64_t aux0 = 0;
  std::int64_t aux1 = 0;
  double scale = 0.0;   // max |u_i| of the last row-sum product

  Preconditioner(const Op& op_, std::int64_t n_, double tol_, std::int64_t maxit_)
      : op(op_), n(n_), tol(tol_), maxit(maxit_) {}
  Preconditioner(const Op&&, std::int64_t, double, std::int64_t) = delete;

  void update(std::valarray<double>& d, int level) {
    if (level < 0) {
      d.resize(0);
      return;
    }
    const std::size_t len = static_cast<std::size_t>(n > 0 ? n : 0);
    const std::valarray<double> u = product(std::valarray<double>(1.0, len));
    scale = 0.0;
    for (double e : u) scale = std::fmax(scale, std::fabs(e));
    if (level == 0) {
      d.resize(len);
      d = 1.0;
      return;
    }
    if (level > 3) {
      d.resize(0);
      return;
    }

    for (double e : u)
      if (isZero(e)) {
        state.status |= 0x100;
        break;
      }
    const std::valarray<double> a = opts.precondZero != 0 ? invertKeepZeros(u) : invertZerosToOne(u);
    if (level == 1) {
      d = std::abs(a);
      return;
    }
    // All row sums zero: there is no direction to probe, and dividing by the
    // zero norm would trap when floating-point exceptions are enabled.
    const double un = normfro(u);
    std::valarray<double> v(0.0, len);
    if (quietGreater(un, 0.0))
      for (std::size_t i = 0; i < len; ++i) v[i] = u[i] / un;
    const std::valarray<double> u2 = product(v);
    const std::valarray<double> b = invertZerosToOne(u2);
    if (level == 2) {
      d = std::abs(b + a);
      return;
    }
    const std::valarray<double> c = invertZerosToOne(u + u2);
    d = std::abs(b + a + c);
  }

 private:
  static bool isZero(double e) { return quietLessEqual(std::fabs(e), 1e-16); }

  static std::valarray<double> invertKeepZeros(std::valarray<double> y) {
    for (double& e : y)
      if (!isZero(e)) e = 1.0 / e;
    return y;
  }
  static std::valarray<double> invertZerosToOne(std::valarray<double> y) {
    for (double& e : y) e = isZero(e) ? 1.0 : 1.0 / e;
    return y;
  }

  // H x through the block product, x as an n x 1 block.
  std::valarray<double> product(const std::valarray<double>& x) const {
    const MatrixTemplate<double> X(x.size(), 1, x);
    const MatrixTemplate<double> Y = op(X);
    requireSameLength(Y.elements.size(), x.size(),
                      "Preconditioner: Hessian product has the wrong number of entries");
    return Y.elements;
  }
};
