// Search directions of the minimisation driver, one kind at a time.
//
//   SD0  steepest descent            d = -g
//   SD1  nonlinear CG                d = beta d_prev - g
//   SD2  Newton                      H d = -g
//   SD3  Newton on the lifted        U diag(lambda - lambda_min + bias) U^T d = -g
//        spectrum, or the lifted CG  (H + s I) d = -g, s steered to keep d downhill
//   SD4  Newton on the corrected     the non-positive eigenvalues replaced by
//        spectrum                    small positive ones
//
// The Newton kinds use the iteration's eigen decomposition of the host's
// Hessian when the driver has one; SD2 and SD3 otherwise work matrix-free
// through the Hessian-matrix product. Inner CG solves run to the relative
// tolerance tau = min(cgtol, 0.001 ||g||), tighter as the gradient
// shrinks.

#include <cmath>
#include <cstdio>

#include "dense/norms.h"
#include "driver/driver_errors.h"
#include "minimize/zelk_task.h"
#include "minimize/search_directions.h"
#include "options/opts.h"

std::valarray<double> OptimizationTask::mkSearchDir(
    SearchDir kind, const std::valarray<double>& x, const std::valarray<double>& g,
    const std::valarray<double>& gPrev, const std::valarray<double>& dPrev,
    std::valarray<double>& eig, double& lambda, double& beta,
    const DecomposedSymMatrix_syevd* hess) {
  const double tau = std::fmin(opts.cgtol, 0.001 * normfro(g));
  switch (kind) {
    case SearchDir::SD0:
      return -g;
    case SearchDir::SD1:
      return nonlinearCGDirection(*this, g, gPrev, dPrev, beta);
    case SearchDir::SD2:
      return newtonDirection(*this, x, g, tau, hess);
    case SearchDir::SD3:
      if (hess != nullptr) return liftedNewtonDirection(*this, kind, g, *hess, lambda);
      return liftedCGDirection(*this, x, g, tau, eig, lambda);
    case SearchDir::SD4:
      if (hess != nullptr) return liftedNewtonDirection(*this, kind, g, *hess, lambda);
      driverStop(host, "search dir requires the Hessian function", -1);
      break;
    default:
      std::fprintf(stderr, "Search dir %s not implemented\n", sdname(kind).c_str());
      break;
  }
  return std::valarray<double>(0.0, g.size());
}
