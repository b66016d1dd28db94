#include "steps/lm_alg.h"

#include <cblas.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <stdexcept>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "options/opts.h"
#include "steps/scaling_floor.h"
#include "steps/step_status.h"

namespace {

using Matrix = MatrixTemplate<double>;

// Solves T x = b (T^T x = b with `transpose`) in place with the leading
// order x order triangle of `factor`, entries beyond it 0. A zero on the
// diagonal at position j leaves the triangle singular: the solve is then
// repeated on the leading j x j triangle, which is the rank-limited answer.
void solveLeading(const Matrix& factor, std::uint32_t n, std::uint32_t order,
                  std::valarray<double>& x, bool transpose) {
  const std::valarray<double> b = x;
  for (;;) {
    const int code = SolveTri(&factor, n, order).solve(x, transpose);
    if (code <= 0 || order == 0) return;
    order = static_cast<std::uint32_t>(code - 1);
    x = b;
    if (order == 0) {
      x = 0.0;
      return;
    }
  }
}

// The number of leading diagonal entries of R with |R_ii| >= ref; an exact
// zero never counts (R = 0 has ref = 0 and rank 0, not full rank).
std::uint32_t leadingRank(const Matrix& R, std::uint32_t n, double ref) {
  std::uint32_t r = 0;
  while (r < n && r < R.rows && quietGreaterEqual(std::fabs(R(r, r)), ref) && R(r, r) != 0.0) ++r;
  return r;
}

// sqrt(l u) for 0 <= l <= u, without overflowing the product.
double geometricMean(double l, double u) {
  if (u > 1.0 && l > DBL_MAX / u) return std::sqrt(l) * std::sqrt(u);
  return std::sqrt(l * u);
}

// ||D o p||.
double scaledNorm(const std::valarray<double>& D, const std::valarray<double>& p) {
  return normfro(D * p);
}

}  // namespace

LMAlg::Problem LMAlg::chooseProblem(const Matrix& J, const std::valarray<double>& minusR) {
  requireSameLength(minusR.size(), J.rows, "LMAlg: -r needs one entry per row of J");
  const std::size_t count = J.rows * J.cols;
  if (J.elements.size() < count)
    throw std::invalid_argument("LMAlg: J holds fewer entries than its shape needs");
  usable_ = allFinite(minusR) &&
                 std::all_of(J.data(), J.data() + count, [](double v) { return std::isfinite(v); });
  const std::size_t rows = std::max(J.rows, J.cols);
  if (usable_ && rows == J.rows) return {&J, &minusR};
  // Zero rows leave ||J p + r|| unchanged, so a wide J is solved as square.
  ownJ_ = Matrix(rows, J.cols);
  ownRhs_.resize(rows, 0.0);
  if (usable_) {
    std::copy(std::begin(J.elements), std::begin(J.elements) + J.rows * J.cols,
              std::begin(ownJ_.elements));
    std::copy(std::begin(minusR), std::end(minusR), std::begin(ownRhs_));
  } else {
    status = StepStatus::NonFinite;
  }
  return {&ownJ_, &ownRhs_};
}

LMAlg::LMAlg(const ScalingRecord& scaling_, const Matrix& J, const std::valarray<double>& minusR,
             int dMode_, double maxE_)
    : scaling(&scaling_),
      K(opts.lmitlargetol),
      dMode(dMode_),
      maxE(maxE_),
      problem_(chooseProblem(J, minusR)),
      qr_(*problem_.J, decompChecks()) {
  m = qr_.m;
  n = qr_.n;
  k = qr_.k;

  // Numerical rank: the leading diagonal of R down to the rounding level of
  // the factorisation. (A dependent column leaves an entry of the order of
  // the machine epsilon times ||R||, not an exact zero.)
  const double relative = std::max(1e-18, static_cast<double>(m) * DBL_EPSILON);
  const double ref = relative * normfro(qr_.R.elements);
  // A factorisation LAPACK could not finish (entries near the top of the
  // double range overflow inside it) gives no step either.
  if (qr_.lapackInfo != 0) markUnusable();
  rank = leadingRank(qr_.R, n, ref);
  std::cerr << "R rank is " << rank << " (ref " << ref << ")\n";
  if (rank == 0) rank = std::min<std::uint32_t>(3, n);

  qtr_ = *problem_.rhs;
  qr_.applyQT(qtr_);
  gradient_ = matrixTransposeVectorProduct(*problem_.J, *problem_.rhs);
}

LMAlg::~LMAlg() = default;

double LMAlg::unitaryError() const { return qr_.unitaryError(); }

std::valarray<double> LMAlg::floored() const {
  requireSameLength(scaling->D.diagonal.size(), n, "LMAlg: D needs one entry per column of J");
  return flooredScalingDiagonal(scaling->D.diagonal);
}

bool LMAlg::isLarge(double alpha, const std::valarray<double>& D) const {
  // No damping is never large, whatever "lmitlargetol" says (its large
  // forms divide by alpha).
  if (!quietGreater(alpha, 0.0)) return false;
  const double largestD = D.size() ? quietMaxEntry(D) : 0.0;
  return quietGreater(alpha, quietly([&] { return K * largestD; }));
}

void LMAlg::traceAlpha(double alpha, const std::valarray<double>& D) const {
  std::cerr << alpha;
  if (isLarge(alpha, D)) std::cerr << " >> 1";
}

double LMAlg::tracePhi(double alpha, const std::valarray<double>& p,
                       const std::valarray<double>& D) {
  const double phi = scaledNorm(D, p) - scaling->Delta;
  std::cerr << "Compute phi(";
  traceAlpha(alpha, D);
  std::cerr << ") = " << phi << "\n";
  return phi;
}

void LMAlg::buildStacked(double alpha, const std::valarray<double>& D) {
  stacked_ = Matrix(k + n, n);
  for (std::uint32_t i = 0; i < n; ++i)
    std::copy(qr_.R.data() + i * n, qr_.R.data() + (i + 1) * n, stacked_.data() + i * n);
  const double root = std::sqrt(alpha);
  quietly([&] {
    for (std::uint32_t i = 0; i < n; ++i) stacked_(n + i, i) = root * D[qr_.jpvt[i] - 1];
  });
  std::cerr << "Get Rl raw " << alpha << "\n";
  stackedQR_ = std::make_unique<LapQRDecomposed>(stacked_, decompChecks());
  stackedD_ = D;
}

std::valarray<double> LMAlg::pivotedStep() {
  std::valarray<double> b(0.0, k + n);
  for (std::uint32_t i = 0; i < n; ++i) b[i] = qtr_[i];
  std::valarray<double> z(n);
  if (cachedAlpha != 0.0) {
    stackedQR_->applyQT(b);
    std::valarray<double> zp = b[std::slice(0, n, 1)];
    solveLeading(stackedQR_->R, n, n, zp, false);
    for (std::uint32_t i = 0; i < n; ++i) z[stackedQR_->jpvt[i] - 1] = zp[i];
    return z;
  }
  // The Gauss-Newton step on the numerical rank.
  std::valarray<double> bp = b[std::slice(0, n, 1)];
  z = bp;
  solveLeading(qr_.R, n, rank, z, false);
  for (std::uint32_t i = rank; i < n; ++i) bp[i] = 0.0;
  std::valarray<double> Rz(0.0, n);
  if (n > 0)
    quietly([&] {
      cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(n), static_cast<int>(n), 1.0,
                  qr_.R.data(), static_cast<int>(n), &z[0], 1, 0.0, &Rz[0], 1);
    });
  const std::valarray<double> diff = bp - Rz;
  std::cerr << "TR err " << relativeError(normfro(diff), quietMax(normfro(bp), normfro(Rz)))
            << "\n";
  return z;
}

void LMAlg::palpha(double alpha, std::valarray<double>& p, bool exact) {
  if (!quietGreaterEqual(alpha, 0.0))
    throw std::invalid_argument("LMAlg::palpha: alpha must not be negative or NaN");
  const std::valarray<double> D = floored();
  std::cerr << "Compute p(";
  traceAlpha(alpha, D);
  std::cerr << ")\n";
  p.resize(n, 0.0);
  if (!usable_) return;

  if (isLarge(alpha, D) && !exact) {
    // alpha D_i^2 underflows for the tiny D of a tiny Jacobian: divide in
    // steps, and a quotient beyond the doubles leaves no step.
    quietly([&] {
      for (std::uint32_t i = 0; i < n; ++i) p[i] = gradient_[i] / D[i] / D[i] / alpha;
    });
    if (!allFinite(p)) giveUp(p);
    return;
  }
  const bool staleD = alpha != 0.0 && (stackedD_.size() != D.size() || (stackedD_ != D).max());
  if (alpha != cachedAlpha || staleD) {
    std::cerr << "Update Rl with " << alpha << "\n";
    if (alpha != 0.0) buildStacked(alpha, D);
    cachedAlpha = alpha;
    // sqrt(alpha) D beyond the doubles: the damped problem cannot be
    // factorised.
    if (alpha != 0.0 && stackedQR_->lapackInfo != 0) {
      giveUp(p);
      return;
    }
  }
  const std::valarray<double> z = pivotedStep();
  for (std::uint32_t i = 0; i < n; ++i) p[qr_.jpvt[i] - 1] = z[i];
}

void LMAlg::markUnusable() noexcept {
  usable_ = false;
  status = StepStatus::NonFinite;
}

void LMAlg::giveUp(std::valarray<double>& p) {
  markUnusable();
  p = 0.0;
}

double LMAlg::d_phi(double alpha) {
  std::valarray<double> p;
  palpha(alpha, p, false);
  const std::valarray<double> D = floored();
  const double s = scaledNorm(D, p);
  double dphi = 0.0;
  if (isLarge(alpha, D)) {
    dphi = -s / alpha;
  } else if (s != 0.0) {
    // A zero step has no direction to grow in; phi' = 0 there.
    const std::valarray<double> q =
        quietly([&] { return std::valarray<double>(D * (D * p) / s); });
    std::valarray<double> y(n);
    for (std::uint32_t i = 0; i < n; ++i) y[i] = q[qr_.jpvt[i] - 1];
    if (cachedAlpha != 0.0) {
      const std::valarray<double> qp = y;
      for (std::uint32_t i = 0; i < n; ++i) y[i] = qp[stackedQR_->jpvt[i] - 1];
      solveLeading(stackedQR_->R, n, n, y, true);
    } else {
      std::cerr << "Solve R^T(alpha = 0), rank is " << rank << "\n";
      solveLeading(qr_.R, n, rank, y, true);
    }
    const double ny = normfro(y);
    dphi = -s * ny * ny;
  }
  std::cerr << "Compute d_phi(";
  traceAlpha(alpha, D);
  std::cerr << ") = " << dphi << "\n";
  return dphi;
}

double LMAlg::solveLambda(std::valarray<double>& p) {
  const std::valarray<double> D = floored();
  const double Delta = scaling->Delta;
  p.resize(n, 0.0);
  status = usable_ ? 0 : StepStatus::NonFinite;
  lastPhi = -Delta;
  auto zeroStep = [&p]() {
    p = 0.0;
    return 0.0;
  };
  if (!usable_ || !quietGreater(Delta, 0.0)) return zeroStep();
  if (std::isinf(Delta)) {
    // No region: the Gauss-Newton step.
    palpha(0.0, p, true);
    lastPhi = tracePhi(0.0, p, D);
    return 0.0;
  }

  // u = ||D^-1 J^T (-r)|| / Delta from the stored gradient; g_j / D_j may
  // pass the largest double for a tiny D_j, and u is then infinite.
  double u = quietDivide(quietly([&] { return normfro(gradient_ / D); }), Delta);
  // A zero gradient: p = 0 is the minimiser. An infinite bound: the region
  // is too small for any step to be represented.
  if (u == 0.0 || !std::isfinite(u)) return zeroStep();

  palpha(0.0, p, false);
  const double phi0 = tracePhi(0.0, p, D);
  double l = 0.0;
  if (rank == n) l = quietDivide(-phi0, d_phi(0.0));
  if (!quietGreater(l, 0.0)) l = 0.0;  // a Gauss-Newton step inside the region
  double alpha = 0.9 * u;
  std::cerr << "LM init: " << alpha << " " << l << " " << u << " " << Delta << ": " << phi0 << "\n";

  bool gaussNewton = false;
  for (int it = 0; it < 100; ++it) {
    if (!(quietLessEqual(l, alpha) && quietLessEqual(alpha, u)))
      alpha = std::max(geometricMean(l, u), 0.01 * u);
    palpha(alpha, p, false);
    if (!usable_) break;
    const double phi = tracePhi(alpha, p, D);
    lastPhi = phi;
    std::cerr << "LM: " << it << " " << alpha << " " << l << " " << u << ": " << phi << "\n";
    if (quietLess(std::fabs(phi), sigma * Delta)) break;

    const double dphi = d_phi(alpha);
    if (quietLess(phi, 0.0)) u = alpha;
    const double newton = quietDivide(phi, dphi);
    // phi' = 0 (or a quotient beyond the doubles) leaves no Newton step.
    if (!std::isfinite(newton)) break;
    // Extreme data (entries near the top of the double range) make these
    // overflow; an infinite or NaN alpha is replaced at the loop's head.
    const double lower = quietly([&] { return alpha - newton; });
    if (quietGreater(lower, l)) l = lower;
    alpha = quietly([&] { return alpha - ((phi + Delta) / Delta) * newton; });
    if (!quietGreater(alpha, 0.0) && quietLessEqual(phi0, 0.0)) {
      gaussNewton = true;
      break;
    }
  }
  if (gaussNewton || !quietGreaterEqual(alpha, 0.0)) alpha = 0.0;

  palpha(alpha, p, true);
  lastPhi = tracePhi(alpha, p, D);
  if (!usable_ || !allFinite(p)) {
    status = StepStatus::NonFinite;
    lastPhi = -Delta;
    return zeroStep();
  }
  return alpha;
}
