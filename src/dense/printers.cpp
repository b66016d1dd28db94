#include "dense/printers.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <sstream>

#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"

namespace {

// Smallest and largest of n >= 1 entries: start from the first entry and let
// a later one replace it only when strictly smaller (larger), so a leading
// NaN stays and later NaNs never replace.
void minMax(const double* p, std::size_t n, double& lo, double& hi) {
  lo = hi = p[0];
  for (std::size_t i = 1; i < n; ++i) {
    if (quietLess(p[i], lo)) lo = p[i];
    if (quietGreater(p[i], hi)) hi = p[i];
  }
}

// Entries of m that its shape covers and its storage really holds.
std::size_t shownEntries(const MatrixTemplate<double>& m) {
  return std::min(m.elements.size(), m.rows * m.cols);
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const ShowVector<double>& sv) {
  const std::valarray<double>& x = *sv.vector;
  const std::size_t n = x.size();
  os << "Vector(" << n << ")";
  if (n == 0) return os;  // no min, max or mean to show
  // Traces print vectors that may hold NaNs or opposite infinities: their
  // sums keep the IEEE values without trapping.
  const QuietFpScope quiet;
  double lo, hi;
  minMax(&x[0], n, lo, hi);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (std::size_t i = n; i-- > 0;) sq += (x[i] - mean) * (x[i] - mean);
  const double sd = std::sqrt(sq / static_cast<double>(n));
  return os << ", norm " << normfro(x) << " min " << lo << " max " << hi << " sum " << sum
            << " mean " << mean << " std " << sd;
}

std::ostream& operator<<(std::ostream& os, const std::valarray<double>& v) {
  if (v.size() * static_cast<std::size_t>(os.precision()) > 80) return os << ShowVector<double>(v);
  return printShortVector(os, v);
}

std::ostream& printShortVector(std::ostream& os, const std::valarray<double>& v) {
  return printOnce(os, [&v](std::ostream& out) {
    const std::size_t n = v.size();
    const std::streamsize p = out.precision();
    out << "(" << n << "){";
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 10); ++i) {
      out.width(p + 5);
      out << v[i] << " ";
    }
    out << "}";
  });
}

std::ostream& printMatrixHeader(std::ostream& os, const MatrixTemplate<double>& m) {
  double lo = std::numeric_limits<double>::infinity(), hi = lo;
  if (std::size_t n = shownEntries(m)) minMax(m.data(), n, lo, hi);
  return os << "MatrixTemplate<T>(" << m.rows << ", " << m.cols << ", min " << lo << ", max " << hi
            << ")";
}

std::ostream& operator<<(std::ostream& os, const ShowMatrixTemplate<double>& sm) {
  const MatrixTemplate<double>& m = *sm.matrix;
  return printOnce(os, [&m](std::ostream& out) {
    printMatrixHeader(out, m) << "\n";
    std::size_t nrows = std::min<std::size_t>(m.rows, 30);
    if (m.cols) nrows = std::min(nrows, m.elements.size() / m.cols);
    const std::size_t ncols = std::min<std::size_t>(m.cols, 30);
    for (std::size_t i = 0; i < nrows; ++i) {
      for (std::size_t j = 0; j < ncols; ++j) {
        out.width(12);
        out << m.elements[i * m.cols + j] << " ";
      }
      out << "\n";
    }
  });
}
