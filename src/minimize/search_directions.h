#pragma once
// The direction families behind OptimizationTask::mkSearchDir, one file
// each: nonlinear CG (SD1, nonlinear_cg_direction.cpp), the Newton
// direction (SD2, newton_direction.cpp), the Newton directions on a
// positive-definite modification of the spectrum (SD3 and SD4 with a
// decomposition, lift_eigenvalues.cpp) and the matrix-free lifted CG (SD3,
// lifted_cg_direction.cpp). Each returns a direction of g's length, the
// zero vector when it has none.

#include <string>
#include <valarray>

#include "dense/decomposed_general.h"
#include "dense/decomposed_sym.h"
#include "dense/matrix.h"
#include "minimize/zelk_task.h"

// The Hessian at x as a block product, H V through the host's
// Hessian-matrix-product callback (zeros without one); w receives the
// gradient the callback writes beside it.
struct HessianBlock {
  OptimizationTask* task;
  const std::valarray<double>* x;
  std::valarray<double>* w;
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
    return task->hessveceval(*x, V, *w);
  }
};

// SD1: beta d_prev - g, beta by the option cgmode (0 on a restart); keeps
// the direction in task.cgDirection.
std::valarray<double> nonlinearCGDirection(OptimizationTask& task, const std::valarray<double>& g,
                                           const std::valarray<double>& gPrev,
                                           const std::valarray<double>& dPrev, double& beta);

// SD2: the Newton direction -H^-1 g, from the decomposition when there is
// one, else by CG on Hessian products to the relative tolerance tau.
std::valarray<double> newtonDirection(OptimizationTask& task, const std::valarray<double>& x,
                                      const std::valarray<double>& g, double tau,
                                      const DecomposedSymMatrix_syevd* hess);

// -M g with M the regularised inverse of the decomposition (tolerance
// resolTolerance).
std::valarray<double> regularisedNewtonStep(const DecomposedGeneralMatrix& decomposition,
                                            const std::valarray<double>& g);

// target = hess with its eigenvalues made positive: mode "lv" lifts the
// whole spectrum, any other mode ("corr") replaces the non-positive ones
// (see lift_eigenvalues.cpp). Writes task.hessianShift when it lifts.
void liftEigenvalues(OptimizationTask& task, const DecomposedSymMatrix_syevd& hess,
                     DecomposedGeneralMatrix& target, const std::string& mode);

// SD3 ("lv") and SD4 ("corr") on a decomposition: the regularised Newton
// step of the lifted spectrum. SD3 reports the smallest eigenvalue of hess
// in lambda and in the run state's lowestCurvature.
std::valarray<double> liftedNewtonDirection(OptimizationTask& task, SearchDir kind,
                                            const std::valarray<double>& g,
                                            const DecomposedSymMatrix_syevd& hess, double& lambda);

// SD3 without a decomposition: (H + s I) d = -g by the lifted CG, with the
// shift s steered by the run state's liftShift; eig receives the smallest
// and largest eigenvalue estimates, lambda the final shift.
std::valarray<double> liftedCGDirection(OptimizationTask& task, const std::valarray<double>& x,
                                        const std::valarray<double>& g, double tau,
                                        std::valarray<double>& eig, double& lambda);
