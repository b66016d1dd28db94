#pragma once
// Stream printers for vectors and matrices, as the solver traces show them.

#include <ostream>
#include <sstream>
#include <string>
#include <valarray>

#include "dense/matrix.h"

// Selects the one-line summary printer of a vector:
// "Vector(n), norm .. min .. max .. sum .. mean .. std .." (no line end).
template <class T>
struct ShowVector {
  const std::valarray<T>* vector;
  explicit ShowVector(const std::valarray<T>& v) : vector(&v) {}
};

// Selects the matrix printer: a header line with shape, min and max, then at
// most 30 x 30 entries, one line per row.
template <class T>
struct ShowMatrixTemplate {
  const MatrixTemplate<T>* matrix;
  explicit ShowMatrixTemplate(const MatrixTemplate<T>& m) : matrix(&m) {}
};

std::ostream& operator<<(std::ostream& os, const ShowVector<double>& v);

// Short form "(n){ e0 e1 ... }" of at most ten entries, each in a field of
// the stream's precision + 5; the summary line when n * precision > 80.
std::ostream& operator<<(std::ostream& os, const std::valarray<double>& v);

// Always the short form of the printer above, however long v is.
std::ostream& printShortVector(std::ostream& os, const std::valarray<double>& v);

std::ostream& operator<<(std::ostream& os, const ShowMatrixTemplate<double>& m);

// Only the header of the matrix printer, without its line end:
// "MatrixTemplate<T>(rows, cols, min .., max ..)".
std::ostream& printMatrixHeader(std::ostream& os, const MatrixTemplate<double>& m);

// Runs print on a local stream with os's format and writes the text to os
// in one unformatted write. Traces from solves on several threads share
// std::cerr: a printer that set a field width on it (or let a formatted
// write reset one) would change its format state under another thread.
template <class Print>
std::ostream& printOnce(std::ostream& os, Print&& print) {
  std::ostringstream local;
  local.copyfmt(os);
  print(static_cast<std::ostream&>(local));
  const std::string text = local.str();
  return os.write(text.data(), static_cast<std::streamsize>(text.size()));
}
