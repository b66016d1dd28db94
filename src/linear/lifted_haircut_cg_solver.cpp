#include "linear/lifted_haircut_cg_solver.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/operator_adaptors.h"
#include "linear/power_steps.h"

namespace {

constexpr double kPairTol = 1e-8;
constexpr long kPairMaxit = 10000;

}  // namespace

HaircutBlock findHaircutBlock(
    const std::function<std::valarray<double>(const std::valarray<double>&)>& A, std::int64_t n,
    std::int64_t k, std::ostream& os) {
  const std::size_t len = static_cast<std::size_t>(n), kk = static_cast<std::size_t>(k);
  MatrixTemplate<double> V(len, 0);
  std::valarray<double> s;
  const FilterBase F(V, s);
  const Chained<FilterBase, std::function<std::valarray<double>(const std::valarray<double>&)>>
      AF(F, A);
  std::valarray<double> e(0.0, kk + 1);

  // An empty space has no eigenpairs to search for.
  std::size_t found = 0;
  for (std::size_t i = 0; i <= kk && len > 0; ++i) {
    // Power iteration on v -> A(F(v)) from a fresh random start.
    const EigenPair p = maxEigenPair(AF, static_cast<long>(len), std::valarray<double>(),
                                     kPairTol, kPairMaxit);
    const long count = std::get<long>(p.info.at("it"));
    const double res = std::get<double>(p.info.at("res"));
    os << "Found " << i << "/" << k + 1 << ": " << p.eigenvalue << " it " << count << " res "
       << res << "\n";
    os << "Found ev " << ShowVector<double>(p.vector) << "\n";
    os << "Found ev ";
    printShortVector(os, p.vector) << "\n";
    // A pair with a non-finite value or vector would carry NaN or infinity
    // into the filter and the shift: it ends the search like a pair that
    // does not converge.
    const bool kept = count < kPairMaxit && quietLessEqual(res, kPairTol) &&
                      std::isfinite(p.eigenvalue) && allFinite(p.vector);
    if (!kept) break;
    e[i] = p.eigenvalue;
    V = cbind(V, MatrixTemplate<double>(len, 1, p.vector));
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
  for (std::size_t j = 0; j < used; ++j)
    block.scales[j] = 1.0 - quietDivide(std::fabs(e[kk]), std::fabs(e[j]));
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
