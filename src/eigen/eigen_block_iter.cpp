#include "eigen/eigen_block_iter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/projection_filters.h"
#include "linear/solve_deadline.h"

namespace {

long readLong(const OptionMap& options, const char* key, long def) {
  auto it = options.find(key);
  return it == options.end() ? def : std::get<long>(it->second);
}

long nonNegative(long v, const char* what) {
  if (v < 0) throw std::invalid_argument(std::string("EigenBlockIter: negative ") + what);
  return v;
}

// The number of active vectors in outer step d: one more every r steps
// beyond the locked ones, all of them for r = 0; never outside [0, k].
long activeCount(long d, long r, long locked, long k) {
  if (r == 0) return k;
  const long p = d + 1;
  long q = p / r;
  if (p % r != 0 && r > 0) ++q;  // ceil(p / r); p >= 1, so a negative r truncates up already
  const long a = q > k - locked ? k : locked + q;
  return std::clamp(a, 0L, k);
}

// ||theta v - y|| / scale, the relative residual of the approximate
// eigenpair (theta, v). A non-finite theta (from a non-finite y) gives NaN,
// which is what the quotient would be, without meeting inf * 0.
double relativeResidual(const std::valarray<double>& v, const std::valarray<double>& y,
                        double theta, double scale) {
  if (!std::isfinite(theta)) return std::numeric_limits<double>::quiet_NaN();
  std::valarray<double> d = -y;
  addScaled(d, theta, v);
  return quietDivide(normfro(d), scale);
}

}  // namespace

EigenBlockIter::EigenBlockIter(const SizedVectorOperator& A,
                               const std::vector<std::valarray<double>>& block_)
    : SizedMatrixOperator(A.options),
      op(&A),
      dim_m(geti_required(A, "dim_m")),
      dim_n(nonNegative(A.dim_n(), "dim_n")),
      tol(getf_required(A, "tol")),
      skipreltol(A.getf("skipreltol", 0.1)),
      maxit(geti_required(A, "maxit")),
      relax(A.geti("relax", 5)),
      k(nonNegative(A.geti("k", 2), "number of block vectors")),
      block(block_) {
  const std::size_t kk = static_cast<std::size_t>(k);
  if (block.size() < kk) block.resize(kk);
  weights = std::valarray<double>(1.0, kk);
  eigenvalues = std::valarray<double>(0.0, kk);
  relres = std::valarray<double>(0.0, kk);
  for (std::size_t j = 0; j < kk; ++j)
    if (block[j].size() != static_cast<std::size_t>(dim_n)) block[j] = randvec(dim_n);
}

void EigenBlockIter::iterate(const OptionMap& options) {
  const long findall = readLong(options, "findall", 0);
  const long relaxOverride = static_cast<std::int32_t>(readLong(options, "relax", -1));
  const long normalized = readLong(options, "normalized", 0);
  const long computeritz = readLong(options, "computeritz", 1);

  calls = work = locked = 0;
  const double tau = tol * skipreltol;
  const std::size_t kk = static_cast<std::size_t>(k);
  std::vector<char> converged(kk, 0), frozen(kk, 0);

  if (normalized == 0) {
    for (std::size_t j = 0; j < kk; ++j) {
      const double len = normfro(block[j]);
      for (double& e : block[j]) e = quietDivide(e, len);
    }
    work += k;
  }

  const long r = relaxOverride >= 0 ? relaxOverride : relax;
  steps = 0;
  for (long d = 0; d < maxit && !SolveDeadline::passed(); ++d) {
    const long a = activeCount(d, r, locked, k);
    const std::size_t na = static_cast<std::size_t>(a);

    for (std::size_t j = 0; j < na; ++j) {
      if (frozen[j]) continue;  // only a converged vector is ever frozen
      std::valarray<double>& v = block[j];
      // Classical Gram-Schmidt against the vectors before j: every
      // coefficient is taken from v_j as it stood before this update.
      const FilterBase2 deflate(block.data(), static_cast<long>(j), weights);
      const std::valarray<double> y = (*op)(deflate(v));
      ++calls;
      requireSameLength(y.size(), v.size(),
                        "EigenBlockIter: operator output length differs from its input");
      const double theta = dotProduct(v, y);
      eigenvalues[j] = theta;
      relres[j] = relativeResidual(v, y, theta, std::fabs(theta));
      const double len = normfro(y);
      for (std::size_t i = 0; i < v.size(); ++i) v[i] = quietDivide(y[i], len);
      work += 2;
      if (converged[j] && quietGreater(tau, relres[j])) frozen[j] = 1;
    }

    std::size_t passing = 0;
    for (std::size_t j = 0; j < na; ++j)
      if (quietGreater(tol, relres[j])) ++passing;
    if (passing == 0) {
      steps = d + 1;
      continue;
    }
    if (findall == 0) {
      for (std::size_t j = 0; j < na; ++j)
        if (quietGreater(tol, relres[j]) && !converged[j]) {
          converged[j] = 1;
          ++locked;
        }
      break;
    }
    if (passing == na && a == k) {
      for (std::size_t j = 0; j < kk; ++j)
        if (!converged[j]) {
          converged[j] = 1;
          ++locked;
        }
      break;
    }
    for (std::size_t j = static_cast<std::size_t>(locked); j < na; ++j)
      if (quietGreater(tol, relres[j]) && !converged[j]) {
        converged[j] = 1;
        ++locked;
      }
    steps = d + 1;
  }

  if (computeritz != 0) {
    for (std::size_t j = 0; j < kk; ++j) {
      if (!converged[j]) continue;
      const std::valarray<double>& v = block[j];
      const std::valarray<double> y = (*op)(v);
      requireSameLength(y.size(), v.size(),
                        "EigenBlockIter: operator output length differs from its input");
      const double theta = dotProduct(v, y);
      eigenvalues[j] = theta;
      relres[j] = relativeResidual(v, y, theta, theta);
    }
    work += k;
  }
}
