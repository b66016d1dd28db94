// The dispatch of the least-squares direction kinds: the family by kind,
// the variant by whether the iteration has a dense Jacobian.

#include "leastsq/search_directions.h"

#include <iostream>

#include "dense/vector_kernels.h"

namespace {

Direction denseOrMatrixFree(SearchDir kind, TrovikOptimizationTask& task,
                            const std::valarray<double>& x, std::valarray<double>& r,
                            const MatrixTemplate<double>& J) {
  const bool dense = J.elements.size() != 0;
  switch (kind) {
    case SearchDir::SD0:
      return dense ? gradientDirection(J) : gradientDirectionMatrixFree(task, x, r);
    case SearchDir::SD2:
      return dense ? gaussNewtonDirection(J, r) : gaussNewtonDirectionMatrixFree(task, x, r);
    case SearchDir::SD3:
      return dense ? shiftedSvdDirection(J, r) : normalEquationsDirectionMatrixFree(task, x, r);
    case SearchDir::SD4:
      return dense ? truncatedSvdDirection(J, r)
                   : randomizedLeastSquaresDirectionMatrixFree(task, x, r);
    case SearchDir::SD5:
      // The eigen filter works on the normal operator's products alone; a
      // dense Jacobian has nothing to add to it.
      return dense ? Direction() : filteredKrylovDirectionMatrixFree(task, x, r);
    case SearchDir::SD6:
      return trustRegionDirection(task, x, r, J);
    default:
      std::cerr << "Search dir " << sdname(kind) << " not implemented\n";
      return Direction();
  }
}

}  // namespace

std::valarray<double> TrovikOptimizationTask::mkSearchDir(SearchDir kind,
                                                          const std::valarray<double>& x,
                                                          std::valarray<double>& r,
                                                          const MatrixTemplate<double>& J) {
  Direction d = denseOrMatrixFree(kind, *this, x, r, J);
  if (d.size() != x.size() || !allFinite(d)) d = Direction(0.0, x.size());
  return d;
}
