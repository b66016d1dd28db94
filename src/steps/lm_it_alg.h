#pragma once
// The matrix-free Levenberg-Marquardt step: the problem of lm_alg.h,
//
//     p(alpha) = argmin ||J p + r||^2 + alpha ||D p||^2,
//     alpha >= 0 with |phi(alpha)| = | ||D p(alpha)|| - Delta | < sigma Delta,
//
// with J known only through the product closures v -> J v and w -> J^T w
// (and their block forms; steps/product_closure.h). Each p(alpha) is one
// regularised solve, of the normal equations
//
//     (J^T J + alpha D^2) p = J^T (-r)
//
// or of their least-squares form [J; sqrt(alpha) D] p ~ [-r; 0], by the
// method "lmitmode" picks:
//   0  conjugate gradients on the normal equations, preconditioned by their
//      diagonal part alpha D^2 (CGNormalSolver);
//   1  VKR on the normal equations (VKRNormalSolver); a repeated alpha
//      solves in the stored Krylov space without a product: the new
//      residual projected on the k + 1 basis vectors, the k rotations, the
//      triangle;
//   2  Golub-Kahan bidiagonalisation: with "lmdmode" != 0 of the damped
//      operator [J; sqrt(alpha) D] itself (BIDSolver, kept for the alpha:
//      a new right-hand side costs no product); with "lmdmode" 0 (D = 1)
//      of J alone, once per solver, and every alpha > 0 by plane rotations
//      of [B; sqrt(alpha) ||D v_i||] (steps/rotated_product.h), alpha = 0 by
//      the plain bidiagonal;
//   3  LSRN on the damped operator with a sketch of J kept for the solver
//      (LSRNStepSolver::solveDamped);
//   any other value solves nothing (status -1).
// Every method's status word comes back from palpha; 0 is success.
//
// Regimes, with s an estimate of the largest eigenvalue of J^T J (ten power
// steps at construction): alpha > K s ("large", K = "lmitlargetol") makes
// the damping dominate, p_i = (J^T (-r))_i / (alpha D_i^2) without a solve
// (never for the exact final step); alpha > K E s ("easy", E =
// "lmiteasytol") is solved by CG whatever the mode, the system being well
// conditioned there.
//
// The derivative, with y = -(J^T J + alpha D^2)^-1 D^2 p from the same
// method,
//
//     phi'(alpha) = (D^2 p) . y / ||D p|| = -(D^2 p)^T (J^T J + alpha D^2)^-1 (D^2 p) / ||D p||,
//
// and -||D p|| / alpha in the large regime. The least-squares methods get y
// from the right-hand side [0; -(D o p) / sqrt(alpha)], whose normal
// equations are the ones above; the rotated bidiagonal takes its lower half
// projected on the basis, V (-(D o p) / sqrt(alpha)).
//
// The damping iteration (solveLambda): u = ||D^-1 J^T (-r)|| / Delta,
// l = min(0.01 u, 1e-15), alpha = 0.9 u, at most 7 passes of the
// safeguarded Newton step
//
//     alpha <- alpha - ((phi + Delta) / Delta) (phi / phi'),
//     l <- min(max(alpha - phi / phi', l), u),   u <- alpha when phi < 0,
//
// restarting from max(l (u / l)^0.75, 0.002 u, l) whenever alpha leaves
// [l, u]. It accepts |phi| < sigma Delta; otherwise the last step inside
// the region (phi < 0), or none. A failed solve sets bit 0x200 of the run
// state's "status" and ends the iteration.
//
// Guards. A zero gradient J^T r (u = 0) is a stationary point: alpha = 0
// at once, p unchanged, and nothing divides by u. A zero step has phi' = 0
// (no direction to grow along), and a Newton quotient that is not finite
// ends the iteration like a failed solve, without the bit. J = 0 gives the
// spectral estimate 0 (every positive alpha is large, and the gradient is
// zero anyway). D is read through the floor of scaling_floor.h. A product
// that is not finite at construction leaves the solver unusable: status
// StepStatus::NonFinite, and solveLambda answers 0 with bit 0x200. Caches
// (VKR record, bidiagonalisations, rotations) belong to one alpha and one
// D: a D changed by updateD rebuilds them.
//
// The solver holds references to the scaling record, the four closures and
// -r: all must outlive it (named objects, never temporaries).

#include <cblas.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <valarray>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/vector_kernels.h"
#include "linear/inner_solve_stats.h"
#include "options/global_state.h"
#include "options/option_cast.h"
#include "options/opts.h"
#include "steps/bid_solver.h"
#include "steps/cg_normal_solver.h"
#include "steps/damped_normal_product.h"
#include "steps/damped_stack.h"
#include "steps/krylov_basis.h"
#include "steps/lsrn_step_solver.h"
#include "steps/product_closure.h"
#include "steps/rotated_product.h"
#include "steps/scaling_floor.h"
#include "steps/scaling_record.h"
#include "steps/scaling_update.h"
#include "steps/step_limits.h"
#include "steps/step_status.h"
#include "steps/vkr_solver.h"

// Run-state bit of a failed regularised solve.
inline constexpr std::int32_t kFailedRegularisedSolve = 0x200;

// The spectral estimate of J^T J by ten power steps from a random unit
// vector: ||J^T J v|| of the last step, 0 when a step vanishes (J = 0).
// False when a product is not finite.
template <class JOp, class JTOp>
bool powerEstimate(const JOp& J, const JTOp& JT, std::size_t m, std::size_t n, double& estimate) {
  estimate = 0.0;
  std::valarray<double> v = randomUnitVector(n), w(m), u(n);
  for (int k = 0; k < 10; ++k) {
    if (!applyProduct(J, v, w) || !applyProduct(JT, w, u)) return false;
    estimate = normalize(u);
    if (estimate == 0.0) return true;
    v.swap(u);
  }
  return true;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
class LMItAlg {
 public:
  using Vec = std::valarray<double>;

  // -r has m entries; n is the number of variables (the length of D).
  LMItAlg(const ScalingRecord& scaling_, std::uint32_t n_, const JOp& J_, const JTOp& JT_,
          const JBlockOp& JB_, const JTBlockOp& JTB_, const Vec& minusR_)
      : scaling(&scaling_),
        m(static_cast<std::uint32_t>(minusR_.size())),
        n(n_),
        step(0.0, n_),
        sigma(opts.lmsigma),
        K(opts.lmitlargetol),
        E(opts.lmiteasytol),
        dMode(option_cast<int>(opts.lmdmode, 1)),
        mode(opts.lmitmode),
        reuse(dMode != 0),
        J(J_),
        JT(JT_),
        JB(JB_),
        JTB(JTB_),
        minusR(minusR_),
        lsrn_(m, n_, J_, JT_, JTB_, sketchFactor) {
    if (!powerEstimate(J, JT, m, n, spectral)) {
      spectral = 0.0;
      status = StepStatus::NonFinite;
    }
  }
  // The solver keeps references: temporaries would dangle.
  LMItAlg(const ScalingRecord&&, std::uint32_t, const JOp&, const JTOp&, const JBlockOp&,
          const JTBlockOp&, const Vec&) = delete;
  LMItAlg(const ScalingRecord&, std::uint32_t, const JOp&&, const JTOp&, const JBlockOp&,
          const JTBlockOp&, const Vec&) = delete;
  LMItAlg(const ScalingRecord&, std::uint32_t, const JOp&, const JTOp&&, const JBlockOp&,
          const JTBlockOp&, const Vec&) = delete;
  LMItAlg(const ScalingRecord&, std::uint32_t, const JOp&, const JTOp&, const JBlockOp&&,
          const JTBlockOp&, const Vec&) = delete;
  LMItAlg(const ScalingRecord&, std::uint32_t, const JOp&, const JTOp&, const JBlockOp&,
          const JTBlockOp&&, const Vec&) = delete;
  LMItAlg(const ScalingRecord&, std::uint32_t, const JOp&, const JTOp&, const JBlockOp&,
          const JTBlockOp&, const Vec&&) = delete;
  LMItAlg(const LMItAlg&) = delete;
  LMItAlg& operator=(const LMItAlg&) = delete;
  virtual ~LMItAlg() = default;

  // The scaling update (steps/scaling_update.h) from the column sums J^T 1
  // (one product per solver); always 0. Prints "Update D: ||D|| ... ".
  int updateD(Vec& D);
  // p(alpha) into p (resized to n); the solve's status.
  int palpha(double alpha, Vec& p, bool exact);
  // phi'(alpha) at the step p = p(alpha).
  double d_phi(double alpha, const Vec& p);
  // The damping iteration for the current Delta: the accepted step into p
  // and its alpha, or 0 with p unchanged.
  double solveLambda(Vec& p);

  // (J^T J + alpha D^2) x = b (b n entries) for modes 0 and 1, the least
  // squares of [J; sqrt(alpha) D] x ~ b for modes 2 and 3 (b: m entries,
  // padded with n zeros, or m + n); by "lmitmode".
  int solveR(double alpha, const Vec& b, Vec& x);
  int solveRCG(double alpha, const Vec& b, Vec& x);
  int solveRVKR(double alpha, const Vec& b, Vec& x);
  int solveRZWQUpdate(double alpha, const Vec& b, Vec& x);
  int solveRLSRN(double alpha, const Vec& b, Vec& x);

  const ScalingRecord* scaling;  // not owned, never written
  std::uint32_t m, n;
  Vec step;                   // the caller's step vector
  double sigma;               // acceptance: |phi| < sigma Delta ("lmsigma")
  double lastAlpha = 0.0;     // written by the caller after each solveLambda
  double spectral = 1000.0;   // estimate of the largest eigenvalue of J^T J
  double K;                   // "lmitlargetol"
  double E;                   // "lmiteasytol"
  double lastPhi = 0.0;       // phi of the last trial step
  int dMode;                  // "lmdmode"
  double cachedAlpha = -1.0;  // alpha of the caches; -1: none
  int mode;                   // "lmitmode"
  bool reuse;                 // dMode != 0: mode 2 bidiagonalises the damped operator
  double sketchFactor = 2.5;  // oversampling of the LSRN sketch
  int lastLsrnStatus = 0;
  std::int32_t status = 0;  // StepStatus::NonFinite when a product failed unrecoverably

 private:
  bool isLarge(double alpha) const {
    return quietGreater(alpha, quietly([&] { return K * spectral; }));
  }
  bool isEasy(double alpha) const {
    return quietGreater(alpha, quietly([&] { return K * E * spectral; }));
  }
  Vec floored() const {
    requireSameLength(scaling->D.diagonal.size(), n, "LMItAlg: D needs n entries");
    return flooredScalingDiagonal(scaling->D.diagonal);
  }
  // Whether the caches were built for alpha and D.
  bool cached(double alpha, const Vec& D) const {
    if (alpha != cachedAlpha || cachedD_.size() != D.size()) return false;
    for (std::size_t i = 0; i < D.size(); ++i)
      if (cachedD_[i] != D[i]) return false;
    return true;
  }
  void cache(double alpha, const Vec& D) {
    cachedAlpha = alpha;
    cachedD_ = D;
  }
  // J^T (-r), once per solver; false when the product fails.
  bool gradient(const Vec*& g);
  // The bidiagonalisation of J and the rotations for alpha > 0 (mode 2,
  // lmdmode 0).
  int updateRecord(double alpha, const Vec& D);
  int solveRBidiagonal(double alpha, const Vec& b, Vec& x);
  int reuseKrylovSpace(const Vec& b, Vec& x);
  // The damped right-hand side [0; -(D o p) / sqrt(alpha)] of phi'.
  Vec dampedRhs(const Vec& Dp, double alpha) const;

  const JOp& J;
  const JTOp& JT;
  const JBlockOp& JB;  // held for the block products; the methods use J^T W only
  const JTBlockOp& JTB;
  const Vec& minusR;

  LSRNStepSolver<JOp, JTOp, JTBlockOp> lsrn_;  // keeps the sketch of J
  Vec gradient_;
  bool haveGradient_ = false;
  Vec columnSums_;
  Vec cachedD_;
  Vec damping_;  // alpha D^2 of the VKR record
  Vec dStack_;   // sqrt(alpha) D of the damped bidiagonalisation
  std::unique_ptr<VKRInfo> vkr_;
  std::unique_ptr<BIDSolInfo> bidFull_;
  std::unique_ptr<BIDSolInfo> bidUpdate_;
  std::unique_ptr<RotatedBidiagonal> rotations_;
};

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
bool LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::gradient(const Vec*& g) {
  if (!haveGradient_) {
    gradient_.resize(n, 0.0);
    if (!applyProduct(JT, minusR, gradient_)) {
      gradient_ = 0.0;
      status = StepStatus::NonFinite;
    }
    haveGradient_ = true;
  }
  g = &gradient_;
  return status == 0;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::updateD(Vec& D) {
  std::cerr << "Update D: " << normfro(D) << " ... ";
  if (columnSums_.size() != n) {
    columnSums_.resize(n, 0.0);
    // A failed product says nothing about the columns: the floor decides.
    if (!applyProduct(JT, Vec(1.0, m), columnSums_)) columnSums_ = 0.0;
  }
  updateScalingDiagonal(dMode, columnSums_, nullptr, D);
  return 0;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::palpha(double alpha, Vec& p, bool exact) {
  p.resize(n, 0.0);
  const Vec* g = nullptr;
  if (!gradient(g)) return status;
  if (isLarge(alpha) && !exact) {
    const Vec D = floored();
    // alpha D_i^2 > 0; a quotient beyond the doubles is refused below.
    quietly([&] {
      for (std::uint32_t i = 0; i < n; ++i) p[i] = (*g)[i] / (alpha * (D[i] * D[i]));
    });
    if (allFinite(p)) return 0;
    p = 0.0;
    return StepStatus::NonFinite;
  }
  if (isEasy(alpha)) return solveRCG(alpha, *g, p);
  switch (mode) {
    case 0:
    case 1:
      return solveR(alpha, *g, p);
    case 2:
      return solveR(alpha, minusR, p);
    default: {
      Vec b(0.0, std::size_t{m} + n);
      b[std::slice(0, m, 1)] = minusR;
      return solveR(alpha, b, p);
    }
  }
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveR(double alpha, const Vec& b, Vec& x) {
  switch (mode) {
    case 0:
      return solveRCG(alpha, b, x);
    case 1:
      return solveRVKR(alpha, b, x);
    case 2:
      return reuse ? solveRBidiagonal(alpha, b, x) : solveRZWQUpdate(alpha, b, x);
    case 3:
      return solveRLSRN(alpha, b, x);
    default:
      x.resize(n, 0.0);
      return -1;
  }
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveRCG(double alpha, const Vec& b, Vec& x) {
  const Vec D = floored();
  const Vec d = alpha * D * D;
  CGNormalSolver<JOp, JTOp> cg(m, n, J, JT, d);
  return cg.solve(b, x);
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveRVKR(double alpha, const Vec& b, Vec& x) {
  requireSameLength(b.size(), n, "LMItAlg::solveRVKR: the right-hand side needs n entries");
  const Vec D = floored();
  if (vkr_ && vkr_->steps > 0 && cached(alpha, D)) return reuseKrylovSpace(b, x);

  const unsigned int decscale = opts.decscale;
  vkr_ = std::make_unique<VKRInfo>(n, opts.dectol, 1e6, decscale, vkrStepLimit(n, decscale));
  damping_ = alpha * D * D;
  cache(alpha, D);
  const VKRNormalSolver<JOp, JTOp> solver(*vkr_, m, n, J, JT, damping_);
  std::int32_t result = solver.solve(b, Vec(0.0, n), x);
  const double acc = vkr_->relResidual;
  double err = std::numeric_limits<double>::infinity();
  if (result == 0) {
    Vec scratch(m), Ax(n);
    if (dampedNormalProduct(J, JT, damping_, x, scratch, Ax))
      err = relmaxnorm(Ax, b);
    else
      result = StepStatus::NonFinite;
  }
  std::cerr << "VKR result: err=" << err << ", acc=" << acc << "\n";
  recordInnerSolve(vkr_->steps, quietMax(err, acc));
  if (result != 0) {
    x = 0.0;
    cachedAlpha = -1.0;  // nothing to reuse
  }
  return result;
}

// The new right-hand side b in the stored Krylov space: t = b - A x_s
// (without a product for the zero start every solve here uses), its
// projection on the k + 1 basis vectors, the k stored rotations, the k x k
// triangle, x = x_s + V_k^T y.
template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::reuseKrylovSpace(const Vec& b, Vec& x) {
  VKRInfo& I = *vkr_;
  const std::uint32_t k = I.steps;
  Vec t = b;
  if (!allZero(I.start)) {
    Vec scratch(m), As(n);
    if (!dampedNormalProduct(J, JT, damping_, I.start, scratch, As)) {
      x.resize(n, 0.0);
      return StepStatus::NonFinite;
    }
    t -= As;
  }
  Vec g(k + std::size_t{1});
  for (std::uint32_t j = 0; j <= k; ++j) g[j] = rowDot(I.basis, j, t);
  applyVkrRotations(I, k, g);
  if (vkrFinish(I, I.m_H.cols, g, I.start, x)) return 0;
  x = 0.0;
  return StepStatus::NonFinite;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveRBidiagonal(double alpha, const Vec& b, Vec& x) {
  const std::size_t rows = std::size_t{m} + n;
  Vec stacked(0.0, rows);
  if (b.size() == m) {
    stacked[std::slice(0, m, 1)] = b;
  } else {
    requireSameLength(b.size(), rows, "LMItAlg: the right-hand side needs m or m + n entries");
    stacked = b;
  }
  const Vec D = floored();
  if (bidFull_ && cached(alpha, D)) {
    std::cerr << "reuse for lambda=" << alpha << "\n";
    return bidFull_->solve(stacked, x);
  }
  const unsigned int decscale = opts.decscale;
  bidFull_ = std::make_unique<BIDSolInfo>(rows, n, opts.dectol, bidStepLimit(rows, n, decscale));
  dStack_ = std::sqrt(alpha) * D;
  cache(alpha, D);
  const DampedStackProduct<JOp> A(m, J, dStack_);
  const DampedStackTransposed<JTOp> AT(m, JT, dStack_);
  BIDSolver<DampedStackProduct<JOp>, DampedStackTransposed<JTOp>> solver(*bidFull_, A, AT);
  return solver.solve(stacked, x);
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::updateRecord(double alpha, const Vec& D) {
  if (!bidUpdate_) {
    const unsigned int decscale = opts.decscale;
    bidUpdate_ = std::make_unique<BIDSolInfo>(m, n, opts.dectol, bidStepLimit(m, n, decscale));
    Vec x0;
    BIDSolver<JOp, JTOp>(*bidUpdate_, J, JT).solve(minusR, x0);
  }
  // No decomposition (a product that failed, or no step kept): no step.
  if (bidUpdate_->status != 0) return bidUpdate_->status;
  if (cached(alpha, D)) {
    std::cerr << "reuse for lambda=" << alpha << "\n";
    return 0;
  }
  cache(alpha, D);
  // alpha = 0 leaves no rotation: the plain bidiagonal solves it.
  rotations_.reset();
  if (alpha != 0.0)
    rotations_ = std::make_unique<RotatedBidiagonal>(rotateDampedBidiagonal(*bidUpdate_, alpha, D));
  return 0;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveRZWQUpdate(double alpha, const Vec& b, Vec& x) {
  requireSameLength(b.size(), m, "LMItAlg::solveRZWQUpdate: the right-hand side needs m entries");
  x.resize(n, 0.0);
  if (const int s = updateRecord(alpha, floored()); s != 0) return s;
  if (!rotations_) return bidUpdate_->solve(b, x);
  return applyRotatedProduct(*rotations_, b, x) ? 0 : StepStatus::NonFinite;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
int LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveRLSRN(double alpha, const Vec& b, Vec& x) {
  const Vec D = floored();
  const Vec dAlpha = quietly([&] { return Vec(std::sqrt(alpha) * D); });
  lastLsrnStatus = lsrn_.solveDamped(dAlpha, b, x);
  return lastLsrnStatus;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
std::valarray<double> LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::dampedRhs(const Vec& Dp,
                                                                         double alpha) const {
  Vec b(0.0, std::size_t{m} + n);
  const double root = std::sqrt(alpha);
  for (std::uint32_t i = 0; i < n; ++i) b[m + i] = -Dp[i] / root;
  return b;
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
double LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::d_phi(double alpha, const Vec& p) {
  requireSameLength(p.size(), n, "LMItAlg::d_phi: the step needs n entries");
  const Vec D = floored();
  const Vec Dp = D * p;
  const double s = normfro(Dp);
  if (s == 0.0) return 0.0;
  if (isLarge(alpha)) return -s / alpha;

  const Vec D2p = D * Dp;
  Vec y(0.0, n);
  int result;
  if (isEasy(alpha) || mode == 0 || !quietGreater(alpha, 0.0)) {
    // The normal equations; alpha = 0 has no least-squares form.
    result = solveRCG(alpha, -D2p, y);
  } else if (mode == 1) {
    result = solveR(alpha, -D2p, y);
  } else if (mode == 2 && !reuse) {
    result = updateRecord(alpha, D);
    if (result == 0) {
      // The lower half of the damped right-hand side, projected on V.
      const Vec projected = matrixVectorProduct(bidUpdate_->V, Vec(-Dp / std::sqrt(alpha)));
      result =
          applyRotatedProduct(*rotations_, Vec(0.0, m), y, &projected) ? 0 : StepStatus::NonFinite;
    }
  } else {
    result = solveR(alpha, dampedRhs(Dp, alpha), y);
  }
  // No solution, no derivative: the iteration stops on phi' = 0.
  if (result != 0) return 0.0;
  return quietDivide(dotProduct(D2p, y), s);
}

template <class JOp, class JTOp, class JBlockOp, class JTBlockOp>
double LMItAlg<JOp, JTOp, JBlockOp, JTBlockOp>::solveLambda(Vec& p) {
  requireSameLength(p.size(), n, "LMItAlg::solveLambda: the step needs n entries");
  const Vec D = floored();
  const double Delta = scaling->Delta;
  const Vec* g = nullptr;
  if (!gradient(g)) {
    state.status |= kFailedRegularisedSolve;
    return 0.0;
  }
  if (!quietGreater(Delta, 0.0) || !std::isfinite(Delta)) return 0.0;
  // g_i / D_i may pass the largest double for a tiny D_i: u is then +inf.
  const double u0 = quietDivide(quietly([&] { return normfro(*g / D); }), Delta);
  // A zero gradient: p = 0 is the stationary point, and u / l would be 0 / 0.
  if (u0 == 0.0 || !std::isfinite(u0)) return 0.0;

  double u = u0;
  double l = quietMin(0.01 * u, 1e-15);
  double alpha = 0.9 * u;
  double bestAlpha = 0.0;
  bool haveBest = false, accepted = false;
  Vec trial(0.0, n), best;
  for (int pass = 0; pass < 7; ++pass) {
    if (quietGreater(l, alpha) || quietGreater(alpha, u) || !std::isfinite(alpha)) {
      alpha = l;
      const double ratio = quietDivide(u, l);
      if (quietGreaterEqual(ratio, 5.0)) {
        const double power = l != 0.0 ? l * std::pow(ratio, 0.75) : 0.0;
        alpha = quietMax(quietMax(power, 0.002 * u), l);
      }
    }
    double phi = 0x1p62;  // alpha = 0: no step is computed
    if (alpha != 0.0) {
      const int solved = palpha(alpha, trial, false);
      phi = normfro(D * trial) - Delta;
      lastPhi = phi;
      if (solved != 0) {
        state.status |= kFailedRegularisedSolve;
        break;
      }
    }
    if (quietLess(std::fabs(phi), sigma * Delta)) {
      accepted = true;
      break;
    }
    if (quietLess(quietDivide(u, l), 1.5)) break;
    if (quietLess(phi, 0.0)) {
      u = alpha;
      best = trial;
      bestAlpha = alpha;
      haveBest = true;
    }
    const double newton = quietDivide(phi, d_phi(alpha, trial));
    if (!std::isfinite(newton)) break;
    quietly([&] {
      l = quietMin(quietMax(alpha - newton, l), u);
      alpha -= ((phi + Delta) / Delta) * newton;
    });
  }
  if (!accepted) {
    if (!haveBest) return 0.0;
    trial.swap(best);
    alpha = bestAlpha;
  }
  if (alpha == 0.0) return 0.0;
  if (isLarge(alpha)) {
    Vec exact;
    if (palpha(alpha, exact, true) == 0) {
      std::cerr << "Full diff: " << alpha << ": " << relmaxnorm(trial, exact) << "\n";
      trial.swap(exact);
    } else {
      state.status |= kFailedRegularisedSolve;  // the closed form stands
    }
  }
  p = trial;
  return alpha;
}
