#include "eigen/power_iteration.h"

#include <cmath>
#include <iostream>
#include <limits>

#include "dense/length_check.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "dense/timer.h"
#include "dense/vector_kernels.h"
#include "linear/algo_status.h"
#include "linear/cg_solver.h"
#include "linear/iteration_control.h"
#include "linear/operator_adaptors.h"
#include "linear/power_steps.h"
#include "linear/solve_deadline.h"
#include "options/option_cast.h"
#include "options/opts.h"
#include "zelk/zelkcomp.h"

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();

// The pair the iterations return, judged on the unshifted operator: with
// y = A x, lambda = x . y and the residual ||y - lambda x||. A shift that
// dwarfs the spectrum makes the shifted iteration converge on any vector,
// so only this residual tells whether (lambda, x) is an eigenpair of A.
struct UnshiftedPair {
  double lambda = 0.0;
  double residual = 0.0;

  // 0, or ZELKCOMP_STATUS_CHECK_FAILED unless the residual is below
  // 10 tol max(|lambda|, scale); an exact pair (residual 0) always passes,
  // the zero operator's included.
  long check(double tol, double scale) const {
    if (residual == 0.0) return 0;
    const double bound = 10.0 * tol * quietMax(std::fabs(lambda), std::fabs(scale));
    return quietLess(residual, bound) ? 0 : ZELKCOMP_STATUS_CHECK_FAILED;
  }
};

// Without a step run before (maxit <= 0) nothing has yet compared the
// operator's output length with x's.
UnshiftedPair unshiftedPair(const SizedVectorOperator& A, const std::valarray<double>& x) {
  const std::valarray<double> y = A(x);
  requireSameLength(y.size(), x.size(),
                    "eigen iteration: operator output length differs from its input");
  UnshiftedPair p;
  p.lambda = dotProduct(y, x);
  if (!std::isfinite(p.lambda)) {
    // y - lambda x would meet inf * 0; no eigenpair either way.
    p.residual = std::numeric_limits<double>::quiet_NaN();
  } else {
    const std::valarray<double> r = y - p.lambda * x;
    p.residual = normfro(r);
  }
  return p;
}

// A failed host callback recorded in the control: status becomes its return
// code with bit 32.
bool callbackFailed(const IterationControl* control, long& status) {
  if (control == nullptr || control->state != 2) return false;
  status = option_cast<long>(control->value, 0L) | 32;
  return true;
}

// The status a stop request in the control record stands for: a plain stop
// (state 1) is 0, a failed host callback (state 2) its code with bit 32, a
// caller-set status (state 4) that status. Other states do not stop.
bool controlStop(const IterationControl* control, long& status) {
  if (callbackFailed(control, status)) return true;
  if (control == nullptr) return false;
  switch (control->state) {
    case 1: status = 0; return true;
    case 4: status = option_cast<long>(control->value, 0L); return true;
    default: return false;
  }
}

struct Settings {
  double shift, tol;
  long maxit;
  IterationControl* control;
};

Settings readSettings(const SizedOperator& A) {
  auto it = A.options.find("control");
  if (it == A.options.end()) throw std::out_of_range("eigen iteration: option \"control\" missing");
  return Settings{A.getf("shift", 0.0), A.getf("tol", 1e-14), A.geti("maxit", 1000),
                  static_cast<IterationControl*>(std::get<void*>(it->second))};
}

OptionMap statusMap(const SizedOperator& A, long status, long it, double res, double start,
                    const IterationControl* control) {
  const OptionMap s{{"status", status},
                    {"it", it},
                    {"calls", control != nullptr ? static_cast<long>(control->calls) : 0L},
                    {"residual", res},
                    {"wtime", get_wall_time() - start}};
  return map_union(A.options, s);
}

}  // namespace

namespace Zelk {

OptionMap maxeigen(const SizedVectorOperator& A, std::valarray<double>& x, double* eigenvalue) {
  const double start = get_wall_time();
  const Settings s = readSettings(A);
  normaliseToUnit(x);

  const Shifted<SizedVectorOperator> B(A, s.shift);
  long status = 0;
  const PowerRun run =
      powerSteps(B, x, s.tol, s.maxit, [&] { return controlStop(s.control, status); });
  if (run.nonFinite) status = 8;
  {
    // shift + me may overflow for a huge shift; the line shows infinity then.
    const QuietFpScope quiet;
    std::cerr << "comp_linsolve:797: maxeigen: powit converged to me = " << run.me
              << " shift = " << s.shift << " (res " << (s.shift + run.me) << ")\n";
  }

  const UnshiftedPair pair = unshiftedPair(A, x);
  const double lambda = pair.lambda;
  // The final product is a host call too: a value it failed to compute must
  // not come back under a clean status.
  long failure = 0;
  if (callbackFailed(s.control, failure)) status |= failure;
  // An iteration that ended cleanly must have found an eigenpair of A; for
  // the largest eigenvalue its own magnitude is the operator's scale.
  if (status == 0) status = pair.check(s.tol, lambda);
  std::cerr << "comp_linsolve:801: maxeigen: powit result me = " << lambda << ", vlen "
            << normfro(x) << "\n";
  if (eigenvalue != nullptr) *eigenvalue = lambda;
  return statusMap(A, status, run.it, run.res, start, s.control);
}

OptionMap mineigen(const SizedVectorOperator& A, std::valarray<double>& x, double* eigenvalue) {
  const double start = get_wall_time();

  double maxe = A.getf("maxe", 0.0);
  if (maxe == 0.0) {
    std::valarray<double> v = randvec(A.dim_n());
    const AlgoStatus found(maxeigen(A, v, &maxe), {});
    const IterativeResult r = found.result();
    std::cerr << "comp_linsolve:885: zelkcomp_mineigen: computed max eigen value: " << maxe
              << ", IterativeResult(status=" << r.status << ", it=" << r.it
              << ", residual=" << r.residual << ", relerr=" << r.relerr << ")\n";
    const double tol = found.getf("tol", 1e-14);
    const bool accepted = found.geti("it", 0) < found.geti("maxit", 1000) &&
                          quietLess(found.getf("wtime", 0.0), found.getf("maxt", kLargest)) &&
                          quietGreater(tol, found.residual()) &&
                          quietGreater(tol, found.relerr());
    if (!accepted) return map_union(A.options, OptionMap{{"status", 64L}});
  }

  const Settings s = readSettings(A);
  normaliseToUnit(x);

  // The inner solver honours no control record, so a failed host callback
  // only shows in the record: look at it after every step and after the
  // final product, or the run would report a result computed from whatever
  // the failed call left behind. Other stop requests are not consulted here.
  const Shifted<SizedVectorOperator> shifted(A, s.shift);
  long failure = 0;
  bool failed = false;
  auto inverse = [&](const std::valarray<double>& v) {
    CGSolver<VectorOperator> cg("CGSolver", static_cast<std::int64_t>(A.dim_n()), s.tol, 1e-120,
                                1e14, s.maxit, shifted, opts.cgmode, opts.cgrec, opts.cgreset);
    return cg.solve(v, v, nullptr, nullptr);
  };
  const PowerRun run = powerSteps(inverse, x, s.tol, s.maxit, [&] {
    failed = callbackFailed(s.control, failure);
    return failed;
  });

  const UnshiftedPair pair = unshiftedPair(A, x);
  const double lambda = pair.lambda;
  if (!failed) failed = callbackFailed(s.control, failure);
  std::cerr << "comp_linsolve:904: mineigen: inv powit returned me = " << lambda
            << " shift = " << s.shift << " => result = " << lambda
            << ", maxAcc: " << (maxe * 2.220446049250313e-16) << ")\n";
  if (eigenvalue != nullptr) *eigenvalue = lambda;

  long status = 0;
  if (run.it >= s.maxit) status |= 4;
  if (!quietGreater(s.tol, run.res)) status |= 1;
  if (quietLessEqual(s.tol, 0.0)) status |= 2;
  if (!std::isfinite(run.res)) status |= 8;
  if (failed) status |= failure;
  // The smallest eigenvalue is judged against the largest: near 0 it has no
  // scale of its own.
  if (status == 0) status = pair.check(s.tol, maxe);
  return statusMap(A, status, run.it, run.res, start, s.control);
}

}  // namespace Zelk
