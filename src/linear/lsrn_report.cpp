#include "linear/lsrn_report.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dense/norms.h"
#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "linear/saturate.h"
#include "options/opts.h"

namespace lsrn {

std::int32_t sketchSize(std::int32_t n, std::int32_t m, double oversample) {
  const double d = std::ceil(static_cast<double>(n) * oversample);
  if (!quietGreater(d, 0.0)) return 0;
  const std::int64_t cap = std::max<std::int64_t>(m, 2 * static_cast<std::int64_t>(n));
  if (quietGreaterEqual(d, static_cast<double>(cap))) return saturateToInt32(cap);
  return static_cast<std::int32_t>(d);
}

Batches batches(std::int32_t d, std::int32_t batch) {
  if (d <= 0) return {1, 0};
  const std::int32_t b = batch < 1 ? 1 : (batch > d ? d : batch);
  return {b, d / b + (d % b != 0 ? 1 : 0)};
}

SketchFactors factorSketch(std::ostream& os, DecomposedGeneralMatrix& decomp, std::int32_t n,
                           std::int32_t sketchLen, double invtol, bool cap, bool showFactors) {
  const bool sized = n > 0 && sketchLen >= n;
  if (sized) decomp.computeSVD(SvdShape::thin);
  os << "S diag: " << ShowVector<double>(decomp.s) << "\n";
  if (showFactors) {
    os << "U: ";
    printMatrixHeader(os, decomp.U) << "\n";
    os << "Vt: ";
    printMatrixHeader(os, decomp.VT) << "\n";
  }
  const DecompInfo info = decomp.info(invtol);
  os << "DecompT tol " << invtol << ": Decomp: rank: " << info.rank << ", cond: " << info.cond
     << ", nzcond: " << info.nzcond << ", maxs: " << info.maxs << ", mins: " << info.mins
     << ", maxnzs: " << info.maxnzs << ", minnzs: " << info.minnzs << ", cutoff: " << info.cutoff
     << ", abstol: " << info.abstol << "\n";

  SketchFactors f;
  f.rank = info.rank;
  f.usable = sized && decomp.lapackInfo == 0 && info.rank > 0;
  if (!f.usable) return f;
  const std::valarray<double> D = decomp.idiag(invtol, f.idiagRank, false, cap);
  f.inverse = D[std::slice(0, f.rank, 1)];
  return f;
}

double conditionNumber(const std::valarray<double>& s) {
  if (s.size() == 0) return 0.0;
  const double cut = 1e-15 * std::fabs(s[0]);
  std::size_t e = s.size();
  for (std::size_t i = 0; i < s.size(); ++i)
    if (quietLess(s[i], cut)) {
      e = i;
      break;
    }
  return e == 0 ? 0.0 : quietDivide(s[0], s[e - 1]);
}

std::int32_t giveUp(std::valarray<double>& x, std::int32_t n, double& residual) {
  x = std::valarray<double>(0.0, static_cast<std::size_t>(n > 0 ? n : 0));
  residual = 1.0;
  return kSketchFailed;
}

std::int32_t innerStatus(std::int64_t flags, double residual, double tol) {
  if (flags == 1 && quietLess(residual, quietDivide(tol, opts.cgtolre))) return 0;
  return static_cast<std::int32_t>(flags);
}

void printSolutionError(std::ostream& os, const char* label, const std::valarray<double>& Ly1,
                        const std::valarray<double>& Ly2, const std::valarray<double>& c) {
  const double e2 = relmaxnorm(Ly1, c);
  const std::valarray<double> diff = Ly2 - c;
  const double cn = normfro(c);
  const double e1 = quietDivide(normfro(diff), cn);
  os << label << e1 << " " << e2 << " " << cn << "\n";
}

}  // namespace lsrn
