#include "linear/linsolve_matfree.h"

#include <cfloat>
#include <cmath>
#include <iostream>
#include <limits>
#include <variant>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/timer.h"
#include "dense/vector_kernels.h"
#include "linear/least_squares_check.h"
#include "linear/linsolve_method.h"
#include "zelk/zelkcomp.h"

namespace Zelk {

namespace {

// The pointer under key; missing or of another kind: std::bad_variant_access.
void* requiredPointer(const SizedOperator& ops, const char* key) {
  auto it = ops.options.find(key);
  if (it == ops.options.end()) throw std::bad_variant_access();
  return std::get<void*>(it->second);
}

AlgoStatus noMatfreeVersion(const char* prefix, const std::string& method,
                            const SizedVectorOperator& A) {
  std::cerr << prefix << "linsolve method " << method << " has no matfree version\n";
  OptionMap status = A.options;
  status["status"] = 256L;
  return AlgoStatus(std::move(status), std::valarray<double>());
}

// The check products of the epilogue run with the control record cleared,
// so that a host callback failing in one of them shows as a new request
// (only a failed callback writes the record there; the history checker is
// not fed). The record is put back afterwards, keeping an earlier request
// and the new call count.
class CheckProducts {
 public:
  explicit CheckProducts(IterationControl* control) : control_(control) {
    if (control_ != nullptr) {
      saved_ = *control_;
      control_->state = 0;
    }
  }
  // A callback failed in a check product.
  bool failed() const { return control_ != nullptr && control_->state != 0; }
  // A callback failed during the solve (the request a failed callback
  // writes, state 2 without a reason: the history checker always gives
  // one), or in a check product.
  bool anyFailed() const { return failed() || (saved_.state == 2 && saved_.reason == 0); }
  ~CheckProducts() {
    if (control_ != nullptr && saved_.state != 0) {
      control_->state = saved_.state;
      control_->reason = saved_.reason;
      control_->value = saved_.value;
    }
  }
  CheckProducts(const CheckProducts&) = delete;
  CheckProducts& operator=(const CheckProducts&) = delete;

 private:
  IterationControl* control_;
  IterationControl saved_{};
};

// Check product, relative error, residual vector and status map, the same
// for every method.
AlgoStatus epilogue(const LinsolveContext& c, LinsolveAnswer& answer, std::valarray<double>& y) {
  long status = answer.status;
  // The solver says it converged: no bit of its own, its residual below tol.
  // Tolerances are the caller's: NaN or near the largest double.
  const bool claimed =
      quietGreater(answer.closingTol, 0.0) && status == 0 &&
      quietLess(answer.residual,
                answer.appliedTol ? *answer.appliedTol : getf_required(c.A, "tol"));
  const bool leastSquares = claimed && answer.closingKind == ClosingKind::LeastSquares;
  bool leastSquaresHolds = true;
  double relerr;
  {
    const CheckProducts check(c.control);
    y = answer.forward ? answer.forward(answer.x) : c.A(answer.x);
    // y -= b below works element by element over equal lengths only.
    requireSameLength(y.size(), c.b.size(), "linsolve: A x and b differ in length");
    relerr = answer.relerrKind == RelerrKind::NormalEquations
                 ? relmaxnorm(c.AT(y), c.AT(c.b))
                 : relmaxnorm(y, c.b);
    if (check.failed()) {
      // The product the residual would come from was never written: there
      // is no residual to report, and no relative error.
      y = std::numeric_limits<double>::quiet_NaN();
      relerr = std::numeric_limits<double>::quiet_NaN();
    } else {
      std::valarray<double> r = vectorDifference(y, c.b);
      if (leastSquares)
        leastSquaresHolds = leastSquaresAnswerHolds(c, answer, y, r);
      y = std::move(r);
    }
    // Whether or not the solver heeds the control record, a failed callback
    // leaves an answer that must not look like success.
    if (check.anyFailed() || (!answer.solverPolledControl && stopRequested(c.control)))
      status |= ZELKCOMP_STATUS_CALLBACK_FAILED;
  }

  // The true error disagrees with the claim.
  if (claimed && status == 0) {
    const bool holds =
        leastSquares ? leastSquaresHolds
                     : quietLess(relerr, quietly([&] { return 10.0 * answer.closingTol; }));
    if (!holds) status |= ZELKCOMP_STATUS_CHECK_FAILED;
  }

  OptionMap statusMap{
      {"status", status},
      {"it", answer.it},
      {"calls", c.control != nullptr ? static_cast<long>(c.control->calls) : 0L},
      {"residual", answer.residual},
      {"relerr", relerr},
      {"wtime", get_wall_time() - c.start},
  };
  if (answer.appliedMaxit) statusMap["maxit"] = *answer.appliedMaxit;
  if (answer.appliedTol) statusMap["tol"] = *answer.appliedTol;

  if (answer.checkPrefix != nullptr) {
    const double bound = quietly([&] { return 10.0 * answer.checkTol; });
    std::cerr << answer.checkPrefix
              << (answer.relerrKind == RelerrKind::NormalEquations
                      ? "norm(A'*A*Xcg - A'*B)/norm(A'*B) = "
                      : "norm(A*Xcg - B)/norm(B) = ")
              << relerr << " < " << bound << " = " << (quietGreater(bound, relerr) ? 1 : 0) << "\n";
  }
  if (answer.closingTrace) answer.closingTrace(std::cerr);
  return AlgoStatus(map_union(c.A.options, statusMap), std::move(answer.x));
}

// A power of two that brings ||b|| into [1, 2), for a right-hand side so
// small or so large that the solvers' dot products (of the size ||b||^2)
// would underflow or overflow; 0 (no scaling) for an ordinary, zero or
// non-finite b, and when the start could not be scaled along.
int rhsScaleExponent(const std::valarray<double>& b, const std::valarray<double>& x0) {
  const double nb = normfro(b);
  if (nb == 0.0 || !std::isfinite(nb)) return 0;
  const int e = std::ilogb(nb);
  if (e >= -256 && e <= 256) return 0;
  const double nx = normfro(x0);
  if (!std::isfinite(nx)) return 0;
  if (nx != 0.0 && std::ilogb(nx) - e >= DBL_MAX_EXP - 1) return 0;
  return e;
}

std::valarray<double> scaled(const std::valarray<double>& v, int e) {
  std::valarray<double> r(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) r[i] = std::scalbn(v[i], e);
  return r;
}

}  // namespace

AlgoStatus linsolve_matfree(const std::string& method, const SizedVectorOperator& A,
                            const SizedVectorOperator& AT, const SizedVectorOperator& P,
                            const std::valarray<double>& b, const std::valarray<double>& x0,
                            std::valarray<double>& y) {
  const double start = get_wall_time();
  auto* control = static_cast<IterationControl*>(requiredPointer(A, "control"));
  auto* histcheck = static_cast<SolverHistoryChecker*>(requiredPointer(A, "histcheck"));

  if (method == "matrixvectorsolve") return noMatfreeVersion("comp_linsolve:187: ", method, A);
  const LinsolveMethod* entry = findLinsolveMethod(method);
  if (entry == nullptr) return noMatfreeVersion("comp_linsolve:680: ", method, A);

  // Every method solves a linear system, so for b scaled by 2^-e (exactly,
  // by a power of two) the solution is x scaled alike: a b near the ends of
  // the double range is solved at the scale of 1 and the solution scaled
  // back. Ordinary right-hand sides are left as they are.
  const int e = rhsScaleExponent(b, x0);
  if (e != 0) {
    const std::valarray<double> bs = scaled(b, -e), x0s = scaled(x0, -e);
    const LinsolveContext inner{method, A, AT, P, bs, x0s, control, histcheck, start};
    LinsolveAnswer answer = entry->handler(inner);
    {
      // A solution beyond the double range becomes infinite, quietly.
      const QuietFpScope quiet;
      answer.x = scaled(answer.x, e);
    }
    const LinsolveContext outer{method, A, AT, P, b, x0, control, histcheck, start};
    return epilogue(outer, answer, y);
  }
  const LinsolveContext context{method, A, AT, P, b, x0, control, histcheck, start};
  LinsolveAnswer answer = entry->handler(context);
  return epilogue(context, answer, y);
}

unsigned linsolveCallbacksNeeded(const std::string& method) {
  if (method == "matrixvectorsolve") return NeedsNone;
  const LinsolveMethod* entry = findLinsolveMethod(method);
  return entry == nullptr ? NeedsNone : entry->callbacks;
}

bool linsolveNeedsSquare(const std::string& method) {
  if (method == "matrixvectorsolve") return false;
  const LinsolveMethod* entry = findLinsolveMethod(method);
  return entry != nullptr && entry->square;
}

}  // namespace Zelk
