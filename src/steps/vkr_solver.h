#pragma once
// VKR: a full-memory minimal-residual Krylov solver for a square system
// A x = b, A known only through v -> A v.
//
// From r_0 = b - A x_0, beta = ||r_0|| and v_0 = r_0 / beta, step i of the
// Arnoldi process
//
//     w = A v_i,   h_j = v_j . w,  w <- w - h_j v_j  (j = 0 .. i, modified
//     Gram-Schmidt),   h_(i+1) = ||w||,   v_(i+1) = w / h_(i+1)
//
// adds column i of the upper Hessenberg H with A V_i^T = V_(i+1)^T H. The
// minimal residual x = x_0 + V_k^T y minimises ||beta e_1 - H y||. Givens
// rotations G_j (c_j, s_j) reduce H to upper triangular form as it grows,
// applied to g = beta e_1 as well, so that |g_(i+1)| / ||b|| is the relative
// residual after step i without another product, and y solves the k x k
// triangle at the end. All basis vectors are kept (no restart); the storage
// of the basis and of H doubles as needed, capped at the step limit + 1.
//
// Guards. b = 0 gives x = 0 at once (no product, relative residual 0): the
// relative residual ||r|| / ||b|| does not exist there. beta = 0 means that
// x_0 already solves the system. A zero h_(i+1) is the happy breakdown: the
// Krylov space is invariant, the next basis row is stored as zeros and the
// rotation ends the iteration with a zero residual. A zero rho = |(h_i,
// h_(i+1))| after the earlier rotations makes H singular at column i: the
// iteration stops before the rotation and keeps the steps before it. With
// no step the triangular solve is skipped and x = x_0. A product that is not
// finite ends the solve with StepStatus::NonFinite and x = x_0.
//
// The VKRInfo record keeps the basis, the rotations, the triangular factor
// and the start vector in the caller's keeping, so that the matrix-free
// Levenberg-Marquardt step can solve again in the same Krylov space for a
// new right-hand side. The basis keeps its row k (beyond the k counted rows)
// for that: the projection of a new residual needs all k + 1 Arnoldi vectors
// that the k rotations act on.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <valarray>

#include "dense/lap_qr.h"
#include "dense/length_check.h"
#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/safe_divide.h"
#include "steps/damped_normal_product.h"
#include "steps/krylov_basis.h"
#include "steps/product_closure.h"
#include "steps/step_status.h"

// The work record of a VKR solve, kept by the caller between solves.
struct VKRInfo {
  std::uint32_t dim = 0;          // n
  double tol = 0.0;               // tolerance on the relative residual
  double orthLimit = 0.0;         // limit of |w . v_0| before the iteration stops
  std::uint32_t decscale = 0;     // copy of the option the step limit came from
  std::uint32_t maxSteps = 0;     // step limit
  double relResidual = 0.0;       // output: last relative residual estimate
  std::uint32_t steps = 0;        // output: Arnoldi steps kept (k)
  MatrixTemplate<double> basis;   // v_i as rows; k counted rows, row k kept in storage
  MatrixTemplate<double> m_H;     // H reduced to upper triangular form; capacity x capacity
  std::valarray<double> cosines;  // c_j, n entries
  std::valarray<double> sines;    // s_j, n entries
  std::valarray<double> start;    // x_0 of the last solve
  std::int32_t status = 0;        // 0, or StepStatus::NonFinite

  VKRInfo() = default;
  VKRInfo(std::uint32_t dim_, double tol_, double orthLimit_, std::uint32_t decscale_,
          std::uint32_t maxSteps_)
      : dim(dim_), tol(tol_), orthLimit(orthLimit_), decscale(decscale_), maxSteps(maxSteps_) {}
};

// Applies the stored rotations G_0 .. G_(count-1) in order to v (at least
// count + 1 entries): G_j acts on (v_j, v_(j+1)).
void applyVkrRotations(const VKRInfo& info, std::uint32_t count, std::valarray<double>& v);

// The trace line of step i (ends in a carriage return).
void traceVkrStep(std::uint32_t i, double hii, double relres, double tol, double orth);

// Solves with the triangle of the first k rotations; x = x_0 + V_k^T y.
// False when the triangular solve fails or x is not finite.
bool vkrFinish(VKRInfo& info, std::size_t capacity, const std::valarray<double>& g,
               const std::valarray<double>& x0, std::valarray<double>& x);

template <class Op, class Op2 = Op>
class VKRSolver {
 public:
  VKRInfo* info;   // not owned
  const Op& op;    // v (n) -> A v (n)
  const Op2& op2;  // held for the caller; the solve never applies it
  std::uint32_t dim;
  double tol;
  std::uint32_t maxSteps;
  double relResidual = 0.0;
  std::uint32_t steps = 0;
  std::int32_t status = 0;

  // Takes n, the tolerance and the step limit from the record; the limit is
  // capped at n, the largest Krylov space there is.
  VKRSolver(VKRInfo& info_, const Op& op_, const Op2& op2_)
      : info(&info_),
        op(op_),
        op2(op2_),
        dim(info_.dim),
        tol(info_.tol),
        maxSteps(std::min(info_.maxSteps, info_.dim)) {}
  // The solver keeps references: temporaries would dangle.
  VKRSolver(VKRInfo&, const Op&&, const Op2&) = delete;
  VKRSolver(VKRInfo&, const Op&, const Op2&&) = delete;
  virtual ~VKRSolver() = default;

  // Solves A x = b from x0 (n entries each); x is replaced by the solution.
  // Returns `status`.
  std::int32_t solve(const std::valarray<double>& b, const std::valarray<double>& x0,
                     std::valarray<double>& x);

 private:
  std::int32_t done(std::int32_t code, double relres) {
    status = info->status = code;
    relResidual = info->relResidual = relres;
    info->steps = steps;
    info->basis.rows = steps;
    return status;
  }
};

template <class Op, class Op2>
std::int32_t VKRSolver<Op, Op2>::solve(const std::valarray<double>& b,
                                       const std::valarray<double>& x0, std::valarray<double>& x) {
  requireSameLength(b.size(), dim, "VKRSolver: the right-hand side needs n entries");
  requireSameLength(x0.size(), dim, "VKRSolver: the start needs n entries");
  VKRInfo& I = *info;
  const std::size_t n = dim;
  std::size_t capacity = 2;
  I.basis = MatrixTemplate<double>(capacity, n);
  I.m_H = MatrixTemplate<double>(capacity, capacity);
  I.cosines.resize(n, 0.0);
  I.sines.resize(n, 0.0);
  I.start = x0;
  steps = 0;

  if (!allFinite(b) || !allFinite(x0)) {
    x.resize(n, 0.0);
    if (allFinite(x0)) x = x0;
    return done(StepStatus::NonFinite, std::numeric_limits<double>::infinity());
  }
  x = x0;
  const double normb = normfro(b);
  if (normb == 0.0) {
    // The solution 0 is formed from no basis at all: the record says so.
    x = 0.0;
    I.start = 0.0;
    return done(0, 0.0);
  }
  std::valarray<double> w(n);
  if (!applyProduct(op, x0, w))
    return done(StepStatus::NonFinite, std::numeric_limits<double>::infinity());
  std::valarray<double> r0 = b - w;
  const double beta = normfro(r0);
  if (beta == 0.0) return done(0, 0.0);

  r0 /= beta;
  setRow(I.basis, 0, r0);
  std::valarray<double> g(0.0, n + 1);
  g[0] = beta;
  // A tiny ||b|| may overflow the ratios: their IEEE values, without a trap.
  const double relres0 = quietDivide(beta, normb);
  double relres = relres0;
  std::valarray<double> h(n + 1);

  for (std::uint32_t i = 0; i < maxSteps; ++i) {
    h = 0.0;
    if (!applyProduct(op, row(I.basis, i), w)) {
      steps = 0;
      x = x0;
      return done(StepStatus::NonFinite, relres0);
    }
    orthogonalizeAgainstRows(I.basis, i + 1, w, &h[0]);
    h[i + 1] = normfro(w);
    double orth = 0.0;
    if (h[i + 1] != 0.0) {
      w /= h[i + 1];
      if (i > 0) orth = std::fabs(rowDot(I.basis, 0, w));
    } else {
      w = 0.0;  // happy breakdown: the space is invariant
    }
    setRow(I.basis, i + 1, w);

    applyVkrRotations(I, i, h);
    const double rho = std::hypot(h[i], h[i + 1]);
    if (rho == 0.0) break;  // H singular at column i: keep the steps before it
    const double c = h[i] / rho, s = h[i + 1] / rho;
    I.cosines[i] = c;
    I.sines[i] = s;
    h[i] = c * h[i] + s * h[i + 1];
    h[i + 1] = 0.0;
    for (std::size_t j = 0; j < capacity; ++j) I.m_H(j, i) = h[j];

    g[i + 1] = -s * g[i];
    g[i] = c * g[i];
    relres = quietDivide(std::fabs(g[i + 1]), normb);
    traceVkrStep(i, I.m_H(i, i), relres, tol, orth);
    steps = i + 1;

    if (quietGreaterEqual(tol, relres)) break;
    if (i + 1 >= maxSteps) break;
    if (quietGreater(orth, I.orthLimit)) {
      std::cerr << "\nVKR crooked: " << orth << "\n";
      std::fill(I.basis.data() + (i + 1) * n, I.basis.data() + (i + 2) * n, 0.0);
      break;
    }
    if (i + 2 >= capacity) {
      const std::size_t grown = std::min<std::size_t>(2 * capacity, maxSteps + std::size_t{1});
      growRows(I.basis, grown);
      growSquare(I.m_H, grown);
      std::cerr << "\ndouble msz " << capacity << " " << grown << "\n";
      capacity = grown;
    }
  }
  std::cerr << "\n";
  I.steps = steps;
  if (!vkrFinish(I, capacity, g, x0, x)) {
    steps = 0;
    x = x0;
    return done(StepStatus::NonFinite, relres0);
  }
  return done(0, relres);
}

// The damped normal equations (J^T J + diag(d)) x = b of a
// Levenberg-Marquardt step as a VKR system: the operator holder of one
// solve, over the two product closures of J and the damping d = alpha D o D.
template <class JOp, class JTOp>
class VKRNormalSolver {
 public:
  VKRInfo* info;  // not owned
  std::uint32_t m, n;
  const JOp& J;                    // v (n) -> J v (m)
  const JTOp& JT;                  // w (m) -> J^T w (n)
  const std::valarray<double>* d;  // n entries; not owned
  std::uint32_t maxSteps;

  VKRNormalSolver(VKRInfo& info_, std::uint32_t m_, std::uint32_t n_, const JOp& J_,
                  const JTOp& JT_, const std::valarray<double>& d_)
      : info(&info_), m(m_), n(n_), J(J_), JT(JT_), d(&d_), maxSteps(info_.maxSteps), scratch(m_) {
    requireSameLength(d_.size(), n, "VKRNormalSolver: the damping diagonal needs n entries");
    requireSameLength(info_.dim, n, "VKRNormalSolver: the record is not of order n");
  }
  // The holder keeps references: temporaries would dangle.
  VKRNormalSolver(VKRInfo&, std::uint32_t, std::uint32_t, const JOp&&, const JTOp&,
                  const std::valarray<double>&) = delete;
  VKRNormalSolver(VKRInfo&, std::uint32_t, std::uint32_t, const JOp&, const JTOp&&,
                  const std::valarray<double>&) = delete;
  VKRNormalSolver(VKRInfo&, std::uint32_t, std::uint32_t, const JOp&, const JTOp&,
                  const std::valarray<double>&&) = delete;

  // out = J^T (J v) + d o v (all NaN when a product fails).
  void operator()(const std::valarray<double>& v, std::valarray<double>& out) const {
    dampedNormalProduct(J, JT, *d, v, scratch, out);
  }

  // Solves the damped system from x0 with VKRSolver into the record.
  std::int32_t solve(const std::valarray<double>& b, const std::valarray<double>& x0,
                     std::valarray<double>& x) const {
    VKRSolver<VKRNormalSolver> solver(*info, *this, *this);
    return solver.solve(b, x0, x);
  }

 private:
  mutable std::valarray<double> scratch;  // J v, m entries
};
