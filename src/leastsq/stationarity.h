#pragma once
// trovik's test of stationarity, the same with the Jacobian and with its
// products: the part of r in the range of J (leastsq/gauss_newton_model.h,
// the part the full Gauss-Newton step removes) against what noise alone
// puts there. For the sums of "ussum", whose gradient is J^T w for fixed
// weights w, the part of w instead.
//
// At a minimum P r vanishes, whatever the residual's size or curvature;
// a point is stationary where what is left of it is what the residuals'
// noise (residual_noise.h) can explain, in one of two ways:
//   - P r is the noise's own part in the range: for independent noise e_i
//     of spread sigma_i, P e has mean square nu^2 = sum_i P_ii sigma_i^2,
//     at any point, the answer included, and ||P r|| <= kMargin nu. The
//     margin is for what the estimate and the point leave open: ||P e|| is
//     a chi-type variable about its root mean square (4 times above it in
//     one case of some 10^4 for one degree of freedom, less often for
//     more), the measured sigma_i come from a few points and are good to
//     a factor of about 2, and where the last step landed its own rounding
//     left a part in the range too;
//   - removing P r would change ||r|| by p^2 / (||r|| + ||r - P r||), and
//     that is within 8 rho, rho the typical change of ||r|| by the
//     residuals' noise: the model's whole promise is below what a step
//     must gain to count as progress (twice the objective's noise, taken
//     at 4 times its measure), so no method judging steps by the
//     objective could see more, and the rounding of J, which turns the
//     range by some eps cond(J), moves P r by less than that wherever the
//     objective could show it. This is what ends a fit whose residual is
//     far above its noise (a model with a large constant part, noise of
//     1e-6 on data of size 1e4) where line searches stop seeing the
//     objective fall.
// Only the residuals' measured noise counts here, not the objective's own
// rounding nor the residuals' floors: a residual that is large and
// constant has no noise at all, though it makes f's rounding hide a whole
// fit that r and J still show, and such a point is no answer.
//
// For the sums of "ussum", linear in r, the weights are exact and only the
// range's rounding is left: ||P w|| <= kMargin m eps ||w||.
//
// The Gauss-Newton model leaves out the residuals' own curvature, so at a
// minimum of a residual that does not vanish, and where J is nearly
// singular there (Penalty functions I and II, Chebyquad, a local minimum
// of Freudenstein and Roth), it may still promise a visible decrease that
// no step finds: the trust region's tries rise at every radius where the
// model's first-order term could show. The driver then takes the trials'
// word (driver/step_evidence.h, flat trials inside a visible change): they
// speak only where they reached the scale on which f changes, so a start
// whose first tries stay at the rounding of x proves nothing.
//
// The promise of the model, F(r) - F(r - P r), is the Gauss-Newton model's
// whole decrease: a step that takes a sliver of it, far from a minimum,
// crawled.

#include <limits>
#include <valarray>

#include "leastsq/gauss_newton_model.h"
#include "leastsq/residual_noise.h"

struct RangeVerdict {
  bool known = false;       // the range part was computed
  bool stationary = false;  // within the allowance (above)
  // F(r) - F(r - P r) for the norms of "ussum"; NaN for the sums.
  double promise = std::numeric_limits<double>::quiet_NaN();
};

// The vector whose range part is tested at r: r itself, or the sums'
// weights.
std::valarray<double> stationarityTarget(const std::valarray<double>& r);

// The verdict for the range of that target at r, with the residuals'
// noise (m entries).
RangeVerdict judgeRange(const GaussNewtonRange& range, const std::valarray<double>& r,
                        const ResidualNoise& noise);

// A step that lowered f by `enhancement` crawled: at a point that is not
// stationary it took less than a hundredth of the model's promise. Where
// the model is right a step takes a fair share of it (all of it for a
// linear residual; a Gauss-Newton step at a nonzero residual gets less,
// but not a hundred times less where the residual's curvature is too weak
// to stop the method converging).
bool crawled(const RangeVerdict& verdict, double enhancement);
