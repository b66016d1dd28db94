#pragma once
// Stream printers for vectors and matrices, as the solver traces show them.

#include <ostream>
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
