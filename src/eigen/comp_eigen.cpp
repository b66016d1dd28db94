// The exported eigenvalue entry points: the largest and the smallest
// eigenvalue of a host operator, or of its normal equations when it is not
// square.

#include <limits>
#include <string>
#include <valarray>
#include <variant>

#include "dense/host_arrays.h"
#include "dense/random.h"
#include "eigen/power_iteration.h"
#include "linear/algo_status.h"
#include "linear/c_boundary.h"
#include "linear/external_vector_function.h"
#include "linear/iteration_control.h"
#include "linear/operator_adaptors.h"
#include "linear/solve_deadline.h"
#include "options/option_map.h"
#include "zelk/zelkcomp.h"

namespace {

using Iteration = OptionMap (*)(const SizedVectorOperator&, std::valarray<double>&, double*);

struct EigenCall {
  const double* x0;
  double* v_out;
  long m, n;
  double* eigenvalue;
  const double* maxe;  // mineigen only; may be null
  ExternalVectorCallback A, AT;
  long maxit;
  IterativeResult* res;
  const char** optnames;
  const double* optvalues;
  long nopts;
  void* context;
  double shift, tol;
};

int run(const char* entry, const EigenCall& c, Iteration iterate) {
  return guardEntry(entry, [&]() -> int {
    const ComponentBlockUse use;
    requireAdmitted(use);
    requireSize(c.m, "m");
    requireSize(c.n, "n");
    requireNonNull(c.A, "A");
    if (c.m != c.n) requireNonNull(c.AT, "AT");

    OptionMap options = zelkcomp_buildopts2(c.optnames, c.optvalues, c.nopts);
    widenToDouble(options, "maxe");
    widenToDouble(options, "maxt");
    const SolveDeadline deadline(
        SizedOperator(options).getf("maxt", std::numeric_limits<double>::infinity()));
    options["dim_m"] = c.m;
    options["dim_n"] = c.n;
    options["tol"] = c.tol;
    options["shift"] = c.shift;
    options["maxit"] = c.maxit;
    if (c.maxe != nullptr) options["maxe"] = *c.maxe;
    IterationControl control{};
    options["control"] = static_cast<void*>(&control);
    options["context"] = c.context;

    const ExternalVectorFunction opA(c.A, options);
    const ExternalVectorFunction opAT(c.AT, map_union(options, {{"dim_m", c.n}, {"dim_n", c.m}}));
    std::valarray<double> x = c.x0 != nullptr ? copyIn(c.x0, c.n) : randvec(c.n);

    // The host's eigenvalue is written only when the iteration produced one.
    double lambda = c.eigenvalue != nullptr ? *c.eigenvalue : 0.0;
    OptionMap status;
    if (c.m == c.n) {
      status = iterate(opA, x, &lambda);
    } else {
      const NormalEquations<ExternalVectorFunction, ExternalVectorFunction> normal(opA, opAT);
      const SizedVectorFunction<decltype(normal)> op(opA.options, normal);
      status = iterate(op, x, &lambda);
    }

    const AlgoStatus result(std::move(status), {});
    const long rc = SolveDeadline::withTimeLimitBit(result.code());
    IterativeResult record = result.result();
    record.status = rc;
    copyOut(c.v_out, x, c.n);
    if (c.eigenvalue != nullptr) *c.eigenvalue = lambda;
    if (c.res != nullptr) *c.res = record;
    return static_cast<int>(rc);
  });
}

}  // namespace

extern "C" int zelkcomp_maxeigen(const double* x0, double* v_out, long m, long n,
                                 double* eigenvalue, ExternalVectorCallback A,
                                 ExternalVectorCallback AT, long maxit, IterativeResult* res,
                                 void* /*reserved*/, const char** optnames,
                                 const double* optvalues, long nopts, void* context, double shift,
                                 double tol) {
  return run("zelkcomp_maxeigen",
             EigenCall{x0, v_out, m, n, eigenvalue, nullptr, A, AT, maxit, res, optnames,
                       optvalues, nopts, context, shift, tol},
             Zelk::maxeigen);
}

extern "C" int zelkcomp_mineigen(const double* x0, double* v_out, long m, long n,
                                 double* eigenvalue, const double* maxe, ExternalVectorCallback A,
                                 ExternalVectorCallback AT, long maxit, IterativeResult* res,
                                 void* /*reserved*/, const char** optnames,
                                 const double* optvalues, long nopts, void* context, double shift,
                                 double tol) {
  return run("zelkcomp_mineigen",
             EigenCall{x0, v_out, m, n, eigenvalue, maxe, A, AT, maxit, res, optnames, optvalues,
                       nopts, context, shift, tol},
             Zelk::mineigen);
}
