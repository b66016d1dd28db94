#pragma once
// The dense Levenberg-Marquardt step on a column-pivoted QR of the Jacobian.
//
// For the Jacobian J (m x n), the residual r, the scaling diagonal D > 0 and
// the trust radius Delta, the step is
//
//     p(alpha) = argmin ||J p + r||^2 + alpha ||D p||^2
//              = least-squares solution of [J; sqrt(alpha) D] p = [-r; 0],
//
// and alpha >= 0 is chosen so that phi(alpha) = ||D p(alpha)|| - Delta is
// small against Delta (|phi| < Delta / 2), or alpha = 0 when the
// Gauss-Newton step p(0) already lies inside the region.
//
// Solves. With J P = Q R (pivoted QR, once per solver) and c = Q^T (-r):
//   - alpha = 0: R z = c on the leading triangle of the numerical rank of R,
//     p = P z (entries beyond the rank 0);
//   - alpha > 0: the n x n triangle R_1 stacked on sqrt(alpha) D P (2n x n)
//     has the same normal matrix R_1^T R_1 + alpha (DP)^2 as the damped
//     problem, so its pivoted QR A P_A = Q_A R_A gives z' from
//     R_A z' = (Q_A^T [c_1; 0])_(0..n-1) and p = P P_A z';
//   - alpha > 0 and alpha > K max D ("large", K = "lmitlargetol"): the
//     damping dominates and p_i = (J^T (-r))_i / (alpha D_i^2) without any
//     factorisation (never for the exact final step).
// The QR of the stacked matrix is cached for the last alpha (and D).
//
// The derivative: with y = R_A^-T P_A^T P^T (D^2 p) / ||D p||,
//
//     phi'(alpha) = -(D^2 p)^T (J^T J + alpha D^2)^-1 (D^2 p) / ||D p||
//                 = -||D p|| ||y||^2,
//
// and phi' = -||D p|| / alpha in the large regime.
//
// The damping iteration is a safeguarded Newton iteration on phi with the
// bounds l <= alpha <= u, u = ||D^-1 J^T (-r)|| / Delta and
// l = -phi(0) / phi'(0) (0 when J is rank-deficient or the Gauss-Newton step
// is inside the region), from alpha = 0.9 u:
//
//     alpha <- alpha - ((phi + Delta) / Delta) (phi / phi'),
//
// resetting alpha to max(sqrt(l u), 0.01 u) whenever it leaves [l, u], for at
// most 100 updates.
//
// Guards. A zero gradient J^T r gives alpha = 0 and p = 0 at once. When the
// Gauss-Newton step is inside the region (phi(0) <= 0) and an update
// proposes alpha <= 0, the answer is alpha = 0 with the exact Gauss-Newton
// step (sqrt of a negative alpha would be NaN). D is read through the floor
// of scaling_floor.h, so no zero entry is divided by. m < n is solved as the
// same problem with n - m zero rows appended to J and -r. A triangular solve
// that meets a zero diagonal falls back to the leading non-singular
// triangle. A Jacobian or residual with a non-finite entry, a QR that LAPACK
// could not finish with finite factors (of J or of the stacked matrix) and a
// large-damping step beyond the doubles give p = 0, alpha = 0 and
// StepStatus::NonFinite.
//
// Every step of the computation writes its trace line to standard error.

#include <cstdint>
#include <memory>
#include <valarray>

#include "dense/lap_qr.h"
#include "dense/matrix.h"
#include "steps/scaling_record.h"

class LMAlg {
 public:
  // Factorises J; `scaling`, J and minusR (-r, m entries) are the caller's
  // and must outlive the solver. dMode is the D-update mode ("lmdmode") and
  // maxE the "max E" value of the scaling updates, both kept for them.
  LMAlg(const ScalingRecord& scaling, const MatrixTemplate<double>& J,
        const std::valarray<double>& minusR, int dMode = 1, double maxE = 0.0);
  // The solver keeps references: temporaries would dangle.
  LMAlg(const ScalingRecord&, const MatrixTemplate<double>&&, const std::valarray<double>&, int = 1,
        double = 0.0) = delete;
  LMAlg(const ScalingRecord&, const MatrixTemplate<double>&, const std::valarray<double>&&, int = 1,
        double = 0.0) = delete;
  LMAlg(const ScalingRecord&&, const MatrixTemplate<double>&, const std::valarray<double>&, int = 1,
        double = 0.0) = delete;
  LMAlg(const LMAlg&) = delete;
  LMAlg& operator=(const LMAlg&) = delete;
  virtual ~LMAlg();

  virtual double decompError(const MatrixTemplate<double>&) const { return 0.0; }
  virtual double reconError(const MatrixTemplate<double>&) const { return 0.0; }
  // ||Q^T Q - I||_F / ||Q||_F of the QR of J.
  virtual double unitaryError() const;

  // p(alpha) into p (resized to n); `exact` forbids the large-alpha form.
  // alpha must not be negative or NaN (std::invalid_argument).
  void palpha(double alpha, std::valarray<double>& p, bool exact);
  // phi'(alpha) at p(alpha).
  double d_phi(double alpha);
  // The damping iteration for the current Delta: the final step goes to p,
  // the final alpha is returned and its phi left in lastPhi.
  double solveLambda(std::valarray<double>& p);

  // The Jacobian the solver works on: J itself, or J with the zero rows
  // that make it square when m < n (same column sums and norms).
  const MatrixTemplate<double>& jacobian() const { return *problem_.J; }

  const ScalingRecord* scaling;  // not owned, never written
  double sigma = 0.5;            // acceptance: |phi| < sigma Delta
  std::uint32_t rank = 0;        // numerical rank of R (an empty count stored as min(3, n))
  double cachedAlpha = 0.0;      // alpha of the stacked QR; 0: none in use
  double lastPhi = 0.0;          // phi of the last step of solveLambda
  std::valarray<double> step;    // the caller's step vector
  double K;                      // large-alpha factor ("lmitlargetol")
  std::uint32_t m, n, k;         // rows (at least n), columns, min(m, n)
  int dMode;                     // D-update mode
  double maxE;                   // "max E" of the scaling updates
  std::int32_t status = 0;       // 0, or StepStatus::NonFinite when no step could be computed

 private:
  struct Problem {
    const MatrixTemplate<double>* J;
    const std::valarray<double>* rhs;
  };
  // Picks the problem to factorise: the caller's J and -r, both padded with
  // zero rows when m < n, or (for non-finite input) zeros of that shape.
  Problem chooseProblem(const MatrixTemplate<double>& J, const std::valarray<double>& minusR);
  std::valarray<double> floored() const;
  bool isLarge(double alpha, const std::valarray<double>& D) const;
  void traceAlpha(double alpha, const std::valarray<double>& D) const;
  // Rebuilds the stacked QR for alpha > 0 and D.
  void buildStacked(double alpha, const std::valarray<double>& D);
  // z in pivoted order for the cached alpha.
  std::valarray<double> pivotedStep();
  double tracePhi(double alpha, const std::valarray<double>& p, const std::valarray<double>& D);
  // No step can be computed: StepStatus::NonFinite and p = 0 from now on.
  void markUnusable() noexcept;
  void giveUp(std::valarray<double>& p);

  MatrixTemplate<double> ownJ_;   // padded or replaced J, when needed
  std::valarray<double> ownRhs_;  // padded or replaced -r, when needed
  // False once J or r holds a non-finite entry, or a factorisation or the
  // large-damping step went beyond the doubles: every step is then 0.
  bool usable_ = true;
  Problem problem_;
  LapQRDecomposed qr_;
  std::unique_ptr<LapQRDecomposed> stackedQR_;
  MatrixTemplate<double> stacked_;  // [R_1; sqrt(alpha) D P], 2n x n
  std::valarray<double> stackedD_;  // D of the stacked QR
  std::valarray<double> qtr_;       // c = Q^T (-r), m entries
  std::valarray<double> gradient_;  // J^T (-r), n entries
};
