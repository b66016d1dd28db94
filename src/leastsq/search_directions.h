#pragma once
// The direction families of the least-squares driver, one file each, every
// one in a dense variant (on the iteration's Jacobian J, m x n) and a
// matrix-free one (on the host's products only). TrovikOptimizationTask::
// mkSearchDir (search_directions.cpp) picks the family by kind and the
// variant by whether J is there.
//
// Each returns its direction (n entries) or an empty vector when it gives
// none; the dispatch turns that, and any direction that is not finite, into
// the zero direction, which the line search rejects without a trial.
//
//   SD0  -J^T 1, the negated column sums: the steepest descent of
//        sum_i r_i (direction_gradient.cpp)
//   SD2  Gauss-Newton, min ||J d + r|| (direction_gauss_newton.cpp)
//   SD3  Gauss-Newton on uniformly shifted singular values
//        (direction_shifted_svd.cpp)
//   SD4  Gauss-Newton on the singular values above 1e-7 s_0
//        (direction_truncated_svd.cpp)
//   SD5  eigen-filtered CG on the normal equations, matrix-free only
//        (direction_krylov.cpp)
//   SD6  Levenberg-Marquardt in a trust region (direction_trust_region.cpp)

#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

using Direction = std::valarray<double>;

Direction gradientDirection(const MatrixTemplate<double>& J);
Direction gradientDirectionMatrixFree(TrovikOptimizationTask& task, const std::valarray<double>& x,
                                      std::valarray<double>& r);

Direction gaussNewtonDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r);
Direction gaussNewtonDirectionMatrixFree(TrovikOptimizationTask& task,
                                         const std::valarray<double>& x, std::valarray<double>& r);

Direction shiftedSvdDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r);
Direction normalEquationsDirectionMatrixFree(TrovikOptimizationTask& task,
                                             const std::valarray<double>& x,
                                             std::valarray<double>& r);

Direction truncatedSvdDirection(const MatrixTemplate<double>& J, const std::valarray<double>& r);
Direction randomizedLeastSquaresDirectionMatrixFree(TrovikOptimizationTask& task,
                                                    const std::valarray<double>& x,
                                                    std::valarray<double>& r);

Direction filteredKrylovDirectionMatrixFree(TrovikOptimizationTask& task,
                                            const std::valarray<double>& x,
                                            std::valarray<double>& r);

// Dense when J has entries, matrix-free otherwise.
Direction trustRegionDirection(TrovikOptimizationTask& task, const std::valarray<double>& x,
                               std::valarray<double>& r, const MatrixTemplate<double>& J);
