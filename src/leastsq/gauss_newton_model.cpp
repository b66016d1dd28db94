#include "leastsq/gauss_newton_model.h"

#include <algorithm>
#include <cmath>

#include <lapacke.h>

#include "dense/fp_class.h"
#include "dense/lap_qr.h"
#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "leastsq/host_products.h"
#include "steps/bid_solver.h"

namespace {

using Vec = std::valarray<double>;
using Matrix = MatrixTemplate<double>;

constexpr double kNullRange = 1e-10;  // relative size of a direction J leaves out

}  // namespace

bool GaussNewtonRange::known() const {
  return isFiniteBits(inRange) && allFiniteBits(leverage);
}

GaussNewtonRange denseGaussNewtonRange(const Matrix& J, const Vec& t) {
  const std::size_t m = J.rows, n = J.cols;
  if (J.elements.size() == 0 || m != t.size() || n == 0) return {};
  // LAPACK is not asked to factor what it cannot: a NaN or infinity in J or t.
  if (!allFiniteBits(J.elements) || !allFiniteBits(t)) return {};
  // Unit columns (a zero column stays zero): the pivoting and the cut of
  // the weak directions do not depend on the variables' units.
  Matrix scaled = J;
  const bool finite = quietly([&] {
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i < m; ++i) sum += J(i, j) * J(i, j);
      const double norm = std::sqrt(sum);
      if (!std::isfinite(norm)) return false;
      if (norm > 0.0)
        for (std::size_t i = 0; i < m; ++i) scaled(i, j) = J(i, j) / norm;
    }
    return true;
  });
  if (!finite) return {};
  const LapQRDecomposed qr(scaled, DecompChecks::off);
  if (qr.lapackInfo != 0) return {};
  std::size_t rank = 0;
  const double largest = qr.k > 0 ? std::fabs(qr.R(0, 0)) : 0.0;
  while (rank < qr.k && std::fabs(qr.R(rank, rank)) > kNullRange * largest) ++rank;
  Vec c = t;
  qr.applyQT(c);
  GaussNewtonRange out;
  out.rank = rank;
  // The first `rank` columns of Q span the kept range: P_ii is the square
  // of row i of that block.
  Matrix Q(m, rank);
  for (std::size_t j = 0; j < rank; ++j) Q(j, j) = 1.0;
  if (rank > 0)
    quietly([&] {
      LAPACKE_dormqr(LAPACK_ROW_MAJOR, 'L', 'N', static_cast<int>(m), static_cast<int>(rank),
                     static_cast<int>(qr.k), qr.qr.data(), static_cast<int>(n), &qr.tau[0],
                     Q.data(), static_cast<int>(rank));
    });
  out.leverage = Vec(0.0, m);
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < rank; ++j) out.leverage[i] += Q(i, j) * Q(i, j);
  out.inRange = quietly([&] {
    double sum = 0.0;
    for (std::size_t i = 0; i < rank; ++i) sum += c[i] * c[i];
    return std::sqrt(sum);
  });
  return out;
}

GaussNewtonRange productGaussNewtonRange(TrovikOptimizationTask& task, const Vec& x, const Vec& r,
                                         const Vec& t) {
  const std::size_t m = r.size(), n = x.size();
  if (m != t.size() || !allFiniteBits(t)) return {};
  Vec scratch = r;
  const HostProducts products(task, x, scratch);
  BIDSolInfo info(static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(n), kNullRange,
                  static_cast<std::uint32_t>(n));
  info.start = products.JT(t);
  if (!allFiniteBits(info.start)) return {};
  GaussNewtonRange out;
  if (normfro(info.start) == 0.0) {  // t is orthogonal to the range
    out.inRange = 0.0;
    out.leverage = Vec(0.0, m);
    return out;
  }
  BIDSolver<JProduct, JTProduct> bid(info, products.J, products.JT);
  bid.decompose();
  if (info.status != 0 || info.steps == 0) return {};
  // P t on the kept space, whose basis, the rows of U, is orthonormal.
  const std::size_t k = info.steps;
  out.rank = k;
  out.leverage = Vec(0.0, m);
  return quietly([&] {
    double sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      double component = 0.0;
      for (std::size_t l = 0; l < m; ++l) {
        component += info.U(i, l) * t[l];
        out.leverage[l] += info.U(i, l) * info.U(i, l);
      }
      sum += component * component;
    }
    out.inRange = std::sqrt(sum);
    return out;
  });
}
