#pragma once
// LSRN solves of the least-squares steps: the randomised preconditioning of
// linear/lsrn_solver.h on the driver's product closures.
//
// Plain problem, min ||J x - b|| (J m x n, b m entries): a sketch S = G J
// of d = ceil(oversample n) rows (at most max(m, 2 n)) is built through
// J^T, one block call per batch of at most 1000 random vectors when a block
// closure is given; with its thin SVD S = U diag(s) V^T and the rank r at
// the cut "lsrninvtol", N = diag(1/s_r) V_r^T, conjugate gradients solve
//
//     N J^T J N^T y = N J^T b,       x = N^T y,
//
// with the tolerance "cgtol" and the limit "cgmaxit". J N^T has singular
// values within the spread of those of the random G on the range of J, so
// the iteration count hardly depends on the conditioning of J.
//
// Damped problem, min ||J x - b_1||^2 + ||d o x - b_2||^2 (b = [b_1; b_2],
// m + n entries; d = sqrt(alpha) D for the Levenberg-Marquardt step, where
// b_2 = 0 gives (J^T J + alpha D^2) x = J^T b_1): the same on the stacked
// operator A = [J; diag(d)] (steps/damped_stack.h). The sketch of J is
// built once, on the first damped solve, and kept for the solver's life;
// every solve adds a sketch of diag(d), row i += 0.5 (u_i o d) with a fresh
// random u_i, which makes it a sketch [G, 0.5 U] A of the whole stack.
// Only the cheap damping part is redrawn for a new alpha.
//
// Outcomes (the status of the inner CG passes through, including its rule
// that a breakdown below tol / "cgtolre" counts as converged):
//   - a zero right-hand side: x = 0, status 0, without a product (nothing
//     is divided by ||b||);
//   - a non-finite right-hand side or damping d: x = 0, StepStatus::NonFinite,
//     without a product;
//   - a product that is refused or not finite, in the sketch or in the
//     iteration: no further product, x = 0, StepStatus::NonFinite added (a
//     failed sketch also gives lsrn::kSketchFailed);
//   - a sketch that cannot precondition (rank 0, as for J = 0):
//     lsrn::kSketchFailed with x = 0, as in the linear solves.
//
// Every step prints the diagnostics of the linear LSRN solver to standard
// error.

#include <cstdint>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <type_traits>
#include <valarray>

#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/vector_kernels.h"
#include "linear/lsrn_solver.h"
#include "options/opts.h"
#include "steps/damped_stack.h"
#include "steps/latched_product.h"
#include "steps/step_status.h"

// Adds the sketch of diag(d) to a sketch S of J (d x n): every row i gets
// 0.5 (u_i o d), with u_i n fresh random numbers in (0, 1).
void addDampingSketch(MatrixTemplate<double>& S, const std::valarray<double>& d);

template <class JOp, class JTOp, class JTBlockOp = lsrn::NoBlockProduct>
class LSRNStepSolver {
 public:
  std::uint32_t m, n;
  double oversample;  // sketch rows per unknown
  double maxit;       // "cgmaxit"
  double tol;         // "cgtol"
  double invtol;      // "lsrninvtol"
  MatrixTemplate<double> sketchJ;  // sketch of J for the damped solves; empty until the first

  // Outcome of the last solve.
  std::int32_t status = 0;
  std::int32_t iterations = 0;
  double residual = 0.0;
  double cond = 0.0;  // spread of the sketch's singular values

  // J: v (n) -> J v (m), JT: w (m) -> J^T w (n), and JTblock: k contiguous
  // m-vectors -> their k contiguous products J^T w.
  LSRNStepSolver(std::uint32_t m_, std::uint32_t n_, const JOp& J_, const JTOp& JT_,
                 double oversample_)
      : m(checkedRows(m_, n_)),
        n(n_),
        oversample(oversample_),
        maxit(static_cast<double>(opts.cgmaxit)),
        tol(opts.cgtol),
        invtol(opts.lsrninvtol),
        J(J_),
        JT(JT_) {}
  LSRNStepSolver(std::uint32_t m_, std::uint32_t n_, const JOp& J_, const JTOp& JT_,
                 const JTBlockOp& JTblock_, double oversample_)
      : LSRNStepSolver(m_, n_, J_, JT_, oversample_) {
    JTblock = &JTblock_;
  }
  // The solver keeps references: temporaries would dangle.
  LSRNStepSolver(std::uint32_t, std::uint32_t, const JOp&&, const JTOp&, double) = delete;
  LSRNStepSolver(std::uint32_t, std::uint32_t, const JOp&, const JTOp&&, double) = delete;
  LSRNStepSolver(std::uint32_t, std::uint32_t, const JOp&, const JTOp&, const JTBlockOp&&,
                 double) = delete;

  // min ||J x - b||, b m entries, x resized to n; returns `status`.
  std::int32_t solve(const std::valarray<double>& b, std::valarray<double>& x);

  // min ||[J; diag(d)] x - b||, d n entries, b m + n entries, x resized to
  // n; returns `status`.
  std::int32_t solveDamped(const std::valarray<double>& d, const std::valarray<double>& b,
                           std::valarray<double>& x);

  // "LSRNSolver(tol, maxit, oversample)" and "LSRNSolver(iterations,
  // status, residual, cond)", one line each.
  void print(std::ostream& os) const {
    os << "LSRNSolver(" << tol << ", " << maxit << ", " << oversample << ")\n"
       << "LSRNSolver(" << iterations << ", " << status << ", " << residual << ", " << cond
       << ")\n";
  }

 private:
  const JOp& J;
  const JTOp& JT;
  const JTBlockOp* JTblock = nullptr;

  using LJ = LatchedProduct<JOp>;
  using LJT = LatchedProduct<JTOp>;

  // The LSRN sizes are 32-bit, the stacked operator has m + n rows.
  static std::uint32_t checkedRows(std::uint32_t m_, std::uint32_t n_) {
    if (static_cast<std::uint64_t>(m_) + n_ >
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
      throw std::invalid_argument("LSRNStepSolver: m + n exceeds the 32-bit sizes");
    return m_;
  }

  // Checks b (and d) and clears x; false when the solve is already decided
  // (`status` set).
  bool start(const std::valarray<double>& b, bool finiteDamping, std::valarray<double>& x);
  void sketch(const LJ& Jl, const LJT& JTl, bool& failed, MatrixTemplate<double>& S) const;
  template <class Sys>
  std::int32_t run(Sys& sys, const std::valarray<double>& b, std::valarray<double>& x,
                   const bool& failed);
  std::int32_t finish(std::int32_t s) {
    iterations = 0;
    residual = 0.0;
    return status = s;
  }
};

template <class JOp, class JTOp, class JTBlockOp>
bool LSRNStepSolver<JOp, JTOp, JTBlockOp>::start(const std::valarray<double>& b,
                                                 bool finiteDamping, std::valarray<double>& x) {
  x.resize(n, 0.0);
  cond = 0.0;
  if (!finiteDamping || !allFinite(b)) {
    finish(StepStatus::NonFinite);
    return false;
  }
  if (normfro(b) == 0.0) {
    finish(0);
    return false;
  }
  return true;
}

template <class JOp, class JTOp, class JTBlockOp>
void LSRNStepSolver<JOp, JTOp, JTBlockOp>::sketch(const LJ& Jl, const LJT& JTl, bool& failed,
                                                  MatrixTemplate<double>& S) const {
  const auto mi = static_cast<std::int32_t>(m), ni = static_cast<std::int32_t>(n);
  if constexpr (!std::is_same_v<JTBlockOp, lsrn::NoBlockProduct>) {
    if (JTblock != nullptr) {
      const LatchedProduct<JTBlockOp> block(*JTblock, failed);
      LSRNGetRandSys<LJ, LJT, LatchedProduct<JTBlockOp>>(Jl, JTl, block, mi, ni, oversample)
          .getRandSys(S, nullptr);
      return;
    }
  }
  LSRNGetRandSys<LJ, LJT>(Jl, JTl, mi, ni, oversample).getRandSys(S, nullptr);
}

template <class JOp, class JTOp, class JTBlockOp>
template <class Sys>
std::int32_t LSRNStepSolver<JOp, JTOp, JTBlockOp>::run(Sys& sys, const std::valarray<double>& b,
                                                       std::valarray<double>& x,
                                                       const bool& failed) {
  status = sys.solve(b, x, nullptr);
  iterations = sys.it;
  residual = sys.residual;
  cond = sys.cond;
  if (failed || x.size() != n || !allFinite(x)) {
    status |= StepStatus::NonFinite;
    x.resize(n, 0.0);
  }
  return status;
}

template <class JOp, class JTOp, class JTBlockOp>
std::int32_t LSRNStepSolver<JOp, JTOp, JTBlockOp>::solve(const std::valarray<double>& b,
                                                         std::valarray<double>& x) {
  requireSameLength(b.size(), m, "LSRNStepSolver: the right-hand side needs m entries");
  if (!start(b, true, x)) return status;
  bool failed = false;
  const LJ Jl(J, failed);
  const LJT JTl(JT, failed);
  const auto mi = static_cast<std::int32_t>(m), ni = static_cast<std::int32_t>(n);
  LSRNSolveSys<LJ, LJT> sys(Jl, JTl, mi, ni, lsrn::sketchSize(ni, mi, oversample), maxit, tol,
                            invtol);
  sketch(Jl, JTl, failed, sys.decomp.a);
  if (failed) return finish(lsrn::kSketchFailed | StepStatus::NonFinite);
  return run(sys, b, x, failed);
}

template <class JOp, class JTOp, class JTBlockOp>
std::int32_t LSRNStepSolver<JOp, JTOp, JTBlockOp>::solveDamped(const std::valarray<double>& d,
                                                               const std::valarray<double>& b,
                                                               std::valarray<double>& x) {
  requireSameLength(d.size(), n, "LSRNStepSolver: the damping needs n entries");
  requireSameLength(b.size(), std::size_t{m} + n,
                    "LSRNStepSolver: the right-hand side needs m + n entries");
  if (!start(b, allFinite(d), x)) return status;
  bool failed = false;
  const LJ Jl(J, failed);
  const LJT JTl(JT, failed);
  if (sketchJ.rows == 0) {
    sketch(Jl, JTl, failed, sketchJ);
    if (failed) {
      sketchJ = MatrixTemplate<double>();  // the next solve builds it afresh
      return finish(lsrn::kSketchFailed | StepStatus::NonFinite);
    }
  }
  const DampedStackProduct<LJ> A(m, Jl, d);
  const DampedStackTransposed<LJT> AT(m, JTl, d);
  LSRNSolveSys<DampedStackProduct<LJ>, DampedStackTransposed<LJT>> sys(
      A, AT, static_cast<std::int32_t>(m + n), static_cast<std::int32_t>(n),
      static_cast<std::int32_t>(sketchJ.rows), maxit, tol, invtol);
  sys.decomp.a = sketchJ;
  addDampingSketch(sys.decomp.a, d);
  return run(sys, b, x, failed);
}
