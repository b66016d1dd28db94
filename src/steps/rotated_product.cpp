#include "steps/rotated_product.h"

#include <cmath>
#include <stdexcept>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/timer.h"
#include "dense/vector_kernels.h"

namespace {

// The rotation (a, b) / hypot(a, b) that turns (a, b) into (hypot, 0); the
// identity when both are 0 (nothing to eliminate).
PlaneRotation eliminating(double a, double b, std::int32_t j, std::int32_t l, double& h) {
  h = std::hypot(a, b);
  if (h == 0.0) return {1.0, 0.0, j, l};
  return {a / h, b / h, j, l};
}

}  // namespace

RotatedBidiagonal rotateDampedBidiagonal(const BIDSolInfo& bid, double alpha,
                                         const std::valarray<double>& D) {
  requireSameLength(D.size(), bid.cols, "rotateDampedBidiagonal: D needs one entry per column");
  const std::uint32_t k = bid.steps;
  RotatedBidiagonal r;
  r.M = &bid.U;
  r.Q = &bid.V;
  r.d = std::valarray<double>(k);
  r.e = std::valarray<double>(0.0, k);
  for (std::uint32_t i = 0; i < k; ++i) {
    r.d[i] = bid.alpha[i];
    if (i > 0) r.e[i] = bid.beta[i];
  }
  if (k == 0) return r;

  // e_i = sqrt(alpha) ||D o v_i||.
  const double root = std::sqrt(alpha);
  std::valarray<double> damping(k);
  std::valarray<double> scaled(bid.cols);
  for (std::uint32_t i = 0; i < k; ++i) {
    for (std::size_t c = 0; c < bid.cols; ++c) scaled[c] = D[c] * bid.V(i, c);
    damping[i] = root * normfro(scaled);
  }

  const auto row = [](std::uint32_t i) { return static_cast<std::int32_t>(i); };
  const auto below = [k](std::uint32_t i) { return static_cast<std::int32_t>(k + i); };
  r.rotations.reserve(2 * std::size_t{k} - 1);
  double h = 0.0, f = 0.0;
  for (std::uint32_t i = 0; i < k; ++i) {
    if (i > 0) {
      // Fill-in f of row k + i - 1 against e_i of row k + i.
      r.rotations.push_back(eliminating(damping[i], f, below(i), below(i - 1), h));
      damping[i] = h;
    }
    const PlaneRotation g = eliminating(r.d[i], damping[i], row(i), below(i), h);
    r.rotations.push_back(g);
    r.d[i] = h;
    damping[i] = 0.0;
    if (i + 1 < k) {
      f = -g.s * r.e[i + 1];
      r.e[i + 1] *= g.c;
    }
  }
  return r;
}

bool applyRotatedProduct(const RotatedBidiagonal& system, const std::valarray<double>& v,
                         std::valarray<double>& out, const std::valarray<double>* w) {
  const MatrixTemplate<double>& M = *system.M;
  const MatrixTemplate<double>& Q = *system.Q;
  const std::size_t k = M.rows;
  if (Q.rows != k || system.d.size() < k || system.e.size() < k)
    throw std::invalid_argument("applyRotatedProduct: the bases and the bidiagonal differ in size");
  if (w != nullptr && w->size() < k)
    throw std::invalid_argument("applyRotatedProduct: w needs at least k entries");
  out.resize(Q.cols, 0.0);
  if (k == 0) return true;

  // Huge entries may overflow on the way: their IEEE values, no trap, and
  // the result is judged by its finiteness.
  const QuietFpScope quiet;
  std::valarray<double> y(0.0, 2 * k);
  y[std::slice(0, k, 1)] = matrixVectorProduct(M, v);
  if (w != nullptr)
    for (std::size_t i = 0; i < k; ++i) y[k + i] = (*w)[i];
  for (const PlaneRotation& g : system.rotations) {
    double& a = y[static_cast<std::size_t>(g.j)];
    double& b = y[static_cast<std::size_t>(g.l)];
    const double ya = a, yb = b;
    a = g.c * ya + g.s * yb;
    b = g.c * yb - g.s * ya;
  }

  Timer timer("br_");
  std::valarray<double> z(k);
  if (!solveUpperBidiagonal(system.d, system.e, y, k, z)) {
    out = 0.0;
    return false;
  }
  out = matrixTransposeVectorProduct(Q, z);
  if (allFinite(out)) return true;
  out = 0.0;
  return false;
}
