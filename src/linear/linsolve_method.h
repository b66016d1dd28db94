#pragma once
// The method table of the matrix-free linear solve. Each method is one
// handler, registered under its names from its own source file:
//
//   namespace {
//   Zelk::LinsolveAnswer solveFoo(const Zelk::LinsolveContext& c) { ... }
//   const Zelk::LinsolveRegistration reg({"foo", "fooalias"},
//                                        {solveFoo, Zelk::NeedsA | Zelk::NeedsAT});
//   }
//
// A handler reads its settings from A's options, runs its solver and returns
// the solution with the solver's status fields. Everything after that (the
// check product y = A x, the relative error, the status map and the check
// line) is the common epilogue of Zelk::linsolve_matfree, so that every
// method reports the same way.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <valarray>

#include "linear/history_checker.h"
#include "linear/iteration_control.h"
#include "linear/sized_operator.h"

namespace Zelk {

// What a handler gets: the operators, the vectors and what the prologue
// looked up in A's options.
struct LinsolveContext {
  const std::string& method;
  const SizedVectorOperator& A;   // y = A x, n -> m values; its options are read
  const SizedVectorOperator& AT;  // y = A^T x, m -> n values
  const SizedVectorOperator& P;   // preconditioner, n -> n values
  const std::valarray<double>& b;
  const std::valarray<double>& x0;
  IterationControl* control;        // option "control"; may be null
  SolverHistoryChecker* histcheck;  // option "histcheck"; may be null
  double start;                     // wall-clock seconds at entry
};

// How the epilogue measures the answer.
enum class RelerrKind {
  Plain,            // relmaxnorm(A x, b)
  NormalEquations,  // relmaxnorm(AT(A x), AT(b))
};

// What the closing check holds a converged answer to.
enum class ClosingKind {
  // relerr is below 10 * closingTol: for a method whose relerr measures the
  // very system it solved (not a least-squares problem, not a shifted one).
  System,
  // x solves the least-squares problem (linear/least_squares_check.h): the
  // backward-error tests of least squares, from fresh products.
  LeastSquares,
};

// What a handler returns.
struct LinsolveAnswer {
  std::valarray<double> x;  // the solution
  long status = 0;          // the solver's status bits ("status")
  long it = 0;              // its iteration count ("it")
  double residual = 0.0;    // its residual ("residual")

  // False for methods whose solver never looks at the IterationControl: a
  // failed host callback (recorded there) is then added to "status" as
  // ZELKCOMP_STATUS_CALLBACK_FAILED by the epilogue.
  bool solverPolledControl = false;

  RelerrKind relerrKind = RelerrKind::Plain;
  // The check product y = A x; A's own operator() when empty.
  std::function<std::valarray<double>(const std::valarray<double>&)> forward;

  // The check line, printed after the epilogue behind this location prefix
  // (for example "comp_linsolve:435: ") when set, against 10 * checkTol.
  const char* checkPrefix = nullptr;
  double checkTol = 0.0;
  // The tolerance of the solver's claim: when it claims convergence (status
  // 0, residual below tol) the epilogue judges the answer by closingKind and
  // adds ZELKCOMP_STATUS_CHECK_FAILED where it does not hold. 0: the answer
  // is not judged.
  double closingTol = 0.0;
  ClosingKind closingKind = ClosingKind::System;
  // LeastSquares: the shift s of the problem min ||A x - b||^2 + s^2 ||x||^2,
  // and where the power steps for ||A|| start (the sketch's dominant right
  // singular vector; a random start when empty).
  double closingShift = 0.0;
  std::valarray<double> normStart;
  // The limits the solver really ran with, when they are not the "maxit"
  // and "tol" of A's options; the status word judges "it" and "residual"
  // by them.
  std::optional<long> appliedMaxit;
  std::optional<double> appliedTol;
  // A closing trace printed after the check line, when set.
  std::function<void(std::ostream&)> closingTrace;
};

using LinsolveHandler = LinsolveAnswer (*)(const LinsolveContext&);

// The host callbacks a method calls, so that the entry point can refuse a
// null one before anything runs.
enum LinsolveCallbacks : unsigned {
  NeedsNone = 0,
  NeedsA = 1,
  NeedsAT = 2,
  NeedsP = 4,
};

struct LinsolveMethod {
  LinsolveHandler handler;
  unsigned callbacks;   // LinsolveCallbacks bits
  bool square = false;  // solves A x = b: A must be n x n
};

// Adds the method under each name (exact, case-sensitive). A name that is
// already registered keeps its first handler. Meant for load time (the
// static LinsolveRegistration objects): the table is not locked.
void registerLinsolveMethod(std::initializer_list<std::string_view> names,
                            const LinsolveMethod& method);

// The method registered under name, or nullptr.
const LinsolveMethod* findLinsolveMethod(const std::string& name);

// Registers at load time; one static object per method file.
struct LinsolveRegistration {
  LinsolveRegistration(std::initializer_list<std::string_view> names,
                       const LinsolveMethod& method) {
    registerLinsolveMethod(names, method);
  }
};

}  // namespace Zelk
