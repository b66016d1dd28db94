#include "linear/lifted_haircut_cg_solver.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "dense/norms.h"
#include "dense/printers.h"
#include "dense/random.h"
#include "linear/vector_kernels.h"

namespace {

constexpr double kPairTol = 1e-8;
constexpr long kPairMaxit = 10000;

bool allFinite(const std::valarray<double>& v) {
  for (double e : v)
    if (!std::isfinite(e)) return false;
  return true;
}

struct PowerResult {
  std::valarray<double> v;  // unit vector of the last step
  double lambda = 0.0;      // Rayleigh quotient
  double res = 0.0;         // ||A v - lambda v|| / |lambda|
  long count = 0;           // steps taken; kPairMaxit when not converged
};

// Power iteration on v -> A(F(v)) from a fresh random unit vector.
template <class Apply>
PowerResult powerIterate(const Apply& apply, std::size_t n) {
  PowerResult p;
  p.v = randvec(static_cast<long>(n));
  p.v /= normfro(p.v);
  std::valarray<double> d(n);
  for (long t = 0; t < kPairMaxit; ++t) {
    const std::valarray<double> w = apply(p.v);
    requireSameLength(w.size(), n, "LiftedHaircutCGSolver: operator output length differs from n");
    p.lambda = dotProduct(w, p.v);
    for (std::size_t i = 0; i < n; ++i) d[i] = w[i] - p.lambda * p.v[i];
    p.res = normfro(d) / std::fabs(p.lambda);
    p.count = t;
    if (!std::isfinite(p.lambda)) return p;
    p.v = w / normfro(w);
    if (p.res < kPairTol) return p;
  }
  p.count = kPairMaxit;
  return p;
}

}  // namespace

HaircutBlock findHaircutBlock(
    const std::function<std::valarray<double>(const std::valarray<double>&)>& A, std::int64_t n,
    std::int64_t k, std::ostream& os) {
  const std::size_t len = static_cast<std::size_t>(n), kk = static_cast<std::size_t>(k);
  MatrixTemplate<double> V(len, 0);
  std::valarray<double> s;
  const FilterBase F(V, s);
  std::valarray<double> e(0.0, kk + 1);

  // An empty space has no eigenpairs to search for.
  std::size_t found = 0;
  for (std::size_t i = 0; i <= kk && len > 0; ++i) {
    const PowerResult p =
        powerIterate([&](const std::valarray<double>& v) { return A(F(v)); }, len);
    os << "Found " << i << "/" << k + 1 << ": " << p.lambda << " it " << p.count << " res "
       << p.res << "\n";
    os << "Found ev " << ShowVector<double>(p.v) << "\n";
    os << "Found ev ";
    printShortVector(os, p.v) << "\n";
    // A pair with a non-finite value or vector would carry NaN or infinity
    // into the filter and the shift: it ends the search like a pair that
    // does not converge.
    const bool kept = p.count < kPairMaxit && p.res <= kPairTol && std::isfinite(p.res) &&
                      std::isfinite(p.lambda) && allFinite(p.v);
    if (!kept) break;
    e[i] = p.lambda;
    V = cbind(V, MatrixTemplate<double>(len, 1, p.v));
    s = std::valarray<double>(1.0, i + 1);  // F = I - V V^T: deflate every pair so far
    found = i + 1;
  }

  HaircutBlock block;
  const std::size_t used = std::min(found, kk);
  block.basis = MatrixTemplate<double>(len, used, V[columns{0, used}]);
  block.eigenvalues = e;
  // Only found pairs have a non-zero eigenvalue to divide by. Without the
  // (k + 1)-th the level is 0: every found direction is deflated fully.
  block.scales = std::valarray<double>(used);
  for (std::size_t j = 0; j < used; ++j) block.scales[j] = 1.0 - std::fabs(e[kk]) / std::fabs(e[j]);
  os << "w = ";
  printShortVector(os, block.scales) << "\n";
  return block;
}

void printHaircutSetup(std::ostream& os, const std::valarray<double>& eigenvalues,
                       const std::valarray<double>& scales, std::int64_t k, double relshift,
                       double shift) {
  const double last = eigenvalues[static_cast<std::size_t>(k)];
  os << "LiftedHaircutCGSolver: max eig determined: " << eigenvalues[0] << " \n";
  os << "LiftedHaircutCGSolver: last (" << k + 1 << "-th) eig determined: " << last << "\n";
  os << "LiftedHaircutCGSolver: " << last << " * " << relshift << " = " << shift << "\n";
  os << "LiftedHaircutCGSolver: scales ";
  printShortVector(os, scales) << "\n";
}
