// The exported linear-solve entry point: copies the host's arrays, builds the
// option map of the call and hands the solve to the dense or the matrix-free
// front end.

#include <limits>
#include <stdexcept>
#include <string>
#include <valarray>
#include <variant>

#include "dense/host_arrays.h"
#include "dense/matrix.h"
#include "linear/algo_status.h"
#include "linear/c_boundary.h"
#include "linear/external_vector_function.h"
#include "linear/history_checker.h"
#include "linear/iteration_control.h"
#include "linear/linsolve_full.h"
#include "linear/linsolve_matfree.h"
#include "linear/linsolve_method.h"
#include "linear/solve_deadline.h"
#include "options/option_map.h"
#include "zelk/zelkcomp.h"

namespace {

// The settings of a linear solve that the host did not give.
OptionMap linsolveDefaults() {
  return OptionMap{
      {"batchsize", 10L}, {"oversample", 2.0}, {"dim_k", 10L},
      {"tol", 1e-15},     {"invtol", 1e-15},   {"maxit", 10000L},
      {"cgmode", 4L},     {"cgreset", 0L},     {"cgrec", 0L},
  };
}

// The callbacks the chosen method will call must exist: the operators call
// them without a check.
void requireCallbacks(const std::string& method, ExternalVectorCallback A_cb,
                      ExternalVectorCallback AT_cb, ExternalVectorCallback P_cb) {
  const unsigned needed = Zelk::linsolveCallbacksNeeded(method);
  if (needed & Zelk::NeedsA) requireNonNull(A_cb, "A_cb");
  if (needed & Zelk::NeedsAT) requireNonNull(AT_cb, "AT_cb");
  if (needed & Zelk::NeedsP) requireNonNull(P_cb, "P_cb");
}

AlgoStatus solve(const std::string& method, const double* A, const std::valarray<double>& b,
                 const std::valarray<double>& x0, std::valarray<double>& y, long m, long n,
                 ExternalVectorCallback A_cb, ExternalVectorCallback AT_cb,
                 ExternalVectorCallback P_cb, const OptionMap& options) {
  if (A != nullptr) {
    const std::size_t rows = static_cast<std::size_t>(m), cols = static_cast<std::size_t>(n);
    const MatrixTemplate<double> matrix(rows, cols, copyIn(A, m * n));
    return Zelk::linsolve_full(method, matrix, b, x0, y, SizedOperator(options));
  }
  const ExternalVectorFunction opA(A_cb, options);
  const ExternalVectorFunction opAT(AT_cb, map_union(options, {{"dim_m", n}, {"dim_n", m}}));
  const ExternalVectorFunction opP(P_cb, map_union(options, {{"dim_m", n}, {"dim_n", n}}));
  return Zelk::linsolve_matfree(method, opA, opAT, opP, b, x0, y);
}

}  // namespace

extern "C" int zelkcomp_linsolve(const char* method, const double* A, const double* b,
                                 const double* x0, double* x_out, double* y_out, long m, long n,
                                 ExternalVectorCallback A_cb, ExternalVectorCallback AT_cb,
                                 ExternalVectorCallback P_cb, void* /*unused*/,
                                 IterativeResult* res, const char** optnames,
                                 const double* optvalues, long nopts, void* context) {
  return guardEntry("zelkcomp_linsolve", [&]() -> int {
    const ComponentBlockUse use;
    requireAdmitted(use);
    requireNonNull(method, "method");
    requireSize(m, "m");
    requireSize(n, "n");
    if (m > 0) requireNonNull(b, "b");
    if (n > 0) requireNonNull(x0, "x0");
    const std::string name(method);
    if (A == nullptr) requireCallbacks(name, A_cb, AT_cb, P_cb);
    // A method for A x = b would hand the host vectors of the wrong length.
    if (m != n && Zelk::linsolveNeedsSquare(name))
      throw EntryArgumentError("method \"" + name + "\" needs a square A, but m = " +
                               std::to_string(m) + " and n = " + std::to_string(n));

    try {
      const std::valarray<double> bv = copyIn(b, m), x0v = copyIn(x0, n);
      std::valarray<double> y(0.0, static_cast<std::size_t>(m));

      OptionMap options =
          map_union(linsolveDefaults(), zelkcomp_buildopts2(optnames, optvalues, nopts));
      // A whole-number time limit is a limit too, not an option of the
      // wrong kind.
      widenToDouble(options, "maxt");
      const SolveDeadline deadline(
          SizedOperator(options).getf("maxt", std::numeric_limits<double>::infinity()));
      options["dim_m"] = m;
      options["dim_n"] = n;
      IterationControl control{};
      SolverHistoryChecker histcheck{SizedOperator(options)};
      options["control"] = static_cast<void*>(&control);
      options["context"] = context;
      options["histcheck"] = static_cast<void*>(&histcheck);

      const AlgoStatus result = solve(name, A, bv, x0v, y, m, n, A_cb, AT_cb, P_cb, options);
      // Everything that can fail happens before the first write to the host.
      const long rc = SolveDeadline::withTimeLimitBit(result.code());
      IterativeResult record = result.result();
      record.status = rc;
      if (res != nullptr) *res = record;
      copyOut(x_out, result.x, n);
      copyOut(y_out, y, m);
      return static_cast<int>(rc);
    } catch (const std::bad_variant_access&) {
      throw std::runtime_error(
          "an option holds a value of the wrong kind (tolerances such as \"tol\" must be "
          "non-integral numbers, counts such as \"maxit\" integral ones)");
    }
  });
}
