#include "linear/least_squares_check.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "dense/fp_class.h"
#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/vector_kernels.h"

namespace Zelk {

namespace {

// v / ||v|| for a v whose norm is finite and not 0; false otherwise.
bool toUnit(std::valarray<double>& v, double len) {
  if (!isFiniteBits(len) || len == 0.0) return false;
  v /= len;
  return true;
}

}  // namespace

// The sketch's singular values do not bound ||A|| from above. The sketch is
// S = G A with G's entries drawn in [0, 1) batch by batch and not kept:
// s_0(S) <= ||G|| ||A|| bounds ||A|| from below only, and a bound from above
// would need the least singular value of G on the range of A, which is
// random, unknown and near 0 when the sketch has about n rows ("oversample"
// near 1).
//
// So: power steps on A^T A, as u = A v / alpha, v' = A^T u / beta with
// alpha = ||A v||, beta = ||A^T u|| (no square of ||A|| is formed, so
// nothing overflows before ||A|| would). beta <= ||A|| always. The growth
// ||A^T A v_j|| = alpha_j beta_j of the iterates v_j = (A^T A)^j v_0 / ||.||
// never decreases (log ||(A^T A)^j v_0|| is convex in j), so after k steps
// alpha beta >= |c_1|^(1/k) ||A||^2, c_1 the start's part along the dominant
// right singular vector, and beta >= alpha gives beta >= |c_1|^(1/(2k))
// ||A||. 2 beta after k = 4 steps is above ||A|| for |c_1| >= 2^-8, and
// never above 2 ||A||. The solvers start it from their sketch's dominant
// right singular vector, their own approximation of that vector, so c_1 is
// near 1 unless the sketch is wrong; a worse start only makes the estimate
// smaller and the check stricter.
double normFromAbove(const SizedVectorOperator& A, const SizedVectorOperator& AT,
                     std::valarray<double> start, std::size_t n) {
  std::valarray<double> v = std::move(start);
  if (v.size() != n || !toUnit(v, normfro(v))) {
    v = randvec(static_cast<long>(n));
    toUnit(v, normfro(v));
  }
  double beta = 0.0;
  for (int step = 0; step < kNormPowerSteps; ++step) {
    std::valarray<double> u = A(v);
    const double alpha = normfro(u);
    // A v = 0 from a start in its null space: nothing above 0 is known.
    if (alpha == 0.0) return 0.0;
    if (!toUnit(u, alpha)) return std::numeric_limits<double>::quiet_NaN();
    v = AT(u);
    requireSameLength(v.size(), n, "linsolve: A^T u and x differ in length");
    beta = normfro(v);
    if (!toUnit(v, beta)) return beta == 0.0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
  }
  return quietProduct(2.0, beta);
}

// The tests, with rbar, gbar and ||[A; s I]|| as in the header, Abar x =
// [A x; s x]:
//   system solved   ||rbar|| <= btol ||b|| + atol_n ||Abar|| ||x||;
//   least squares   ||gbar|| <= ||Abar|| (atol_m ||rbar|| + atol_n ||Abar|| ||x||)
//   solved, and     |(Abar x) . rbar| <= atol_m ||Abar|| ||x|| (||Abar x|| + ||rbar||).
// The first is LSQR's first rule. The second is its second rule, ||gbar||
// <= atol ||Abar|| ||rbar||, with the rounding of r added: r is computed to
// about atol_n ||A|| ||x||, which A^T carries into gbar times ||A||. Without
// that term an answer right to its last digits fails both rules wherever
// ||r|| lies between atol ||A|| ||x|| and eps ||A|| ||x|| / atol (b off the
// range by 1e-3 of its length and x along a weak direction, ||A|| ||x|| =
// cond ||b||; a small shift for "lsrnreg", whose rbar holds s x).
//
// That term hides an error e of x for which A^T A e is below the rounding
// of r carried through A^T: e along singular values sigma with sigma^2
// ||e|| <= atol_n ||A||^2 ||x||, for a condition above 1 / sqrt(atol_n)
// (3e6 at the default tol) errors as large as x. The third test sees it:
// (Abar x) . rbar = x . gbar (the slope of ||t Abar x - bbar||^2 at t = 1,
// 0 at the answer) comes from A x and r without A^T, so its rounding is
// only that of A x and of the dot product, and for such an e it is about
// (A x) . (A e), of the size of ||A x|| ||A e||. It misses an error with
// A e orthogonal to A x only, as a whole direction dropped from x is
// ("invtol" cutting a weak singular value).
//
// Tolerances: the solver's claim is a relative residual below tol on the
// preconditioned normal equations, which bounds the part of r in the range
// of A by tol ||b|| times the condition of the preconditioned operator, a
// few for the sketch's preconditioner: btol = 10 tol, as the other methods'
// check has. An entry of a product of k terms is off by at most k eps times
// the sum of its terms' magnitudes (about sqrt(k) eps times it as a rule);
// those sums add up to || |A| |x| || for A x and || |A^T| |r| || for A^T r,
// which exceed ||A|| ||x|| and ||A|| ||r|| by up to sqrt(n) (|| |A| || <=
// ||A||_F), 2 to 3 for matrices of mixed signs; x itself is only held to
// eps ||x||. atol_n = 10 (tol + n eps) for the products A x (n terms),
// atol_m = 10 (tol + m eps) for A^T r and the dot product (m terms): the 10
// covers those factors and the estimate of ||A|| lying up to 2 below the
// true norm.
bool leastSquaresAnswerHolds(const LinsolveContext& c, const LinsolveAnswer& a,
                             const std::valarray<double>& Ax, const std::valarray<double>& r) {
  const std::valarray<double>& x = a.x;
  const std::valarray<double> ATr = c.AT(r);
  requireSameLength(ATr.size(), x.size(), "linsolve: A^T r and x differ in length");
  const double normA = normFromAbove(c.A, c.AT, a.normStart, x.size());
  const double shift = a.closingShift, s2 = quietProduct(shift, shift);
  if (!isFiniteBits(s2) || !isFiniteBits(normA) || !allFinite(x) || !allFinite(Ax) ||
      !allFinite(r) || !allFinite(ATr))
    return false;
  const double m = static_cast<double>(r.size()), n = static_cast<double>(x.size());
  const double tol = a.closingTol, eps = DBL_EPSILON;
  // s^2 x and the sizes may overflow; tol is the caller's.
  return quietly([&] {
    std::valarray<double> g = ATr;
    addScaled(g, s2, x);
    const double nx = normfro(x), sx = std::fabs(shift) * nx;
    const double ng = normfro(g), nb = normfro(c.b);
    const double nr = std::hypot(normfro(r), sx), nAx = std::hypot(normfro(Ax), sx);
    const double nA = std::hypot(normA, shift);
    const double ax = nA * nx, aax = nA * ax, ar = nA * nr;
    for (double size : {ng, nr, nb, ax, aax, ar})
      if (!isFiniteBits(size)) return false;
    const double btol = 10.0 * tol, atolN = 10.0 * (tol + n * eps), atolM = 10.0 * (tol + m * eps);
    // A tol near the largest double accepts every finite answer.
    if (!isFiniteBits(atolM)) return true;
    // The third test divided by ||Abar x|| ||rbar||, so that it holds at
    // any scale of b: the cosine of the angle between Abar x and rbar.
    const bool slopeFlat =
        nAx == 0.0 || nr == 0.0 ||
        quietLessEqual(std::fabs(dotProduct(Ax / nAx, r / nr) + (sx / nAx) * (sx / nr)),
                       atolM * (ax / nAx + ax / nr));
    return quietLessEqual(nr, btol * nb + atolN * ax) ||
           (quietLessEqual(ng, atolM * ar + atolN * aax) && slopeFlat);
  });
}

}  // namespace Zelk
