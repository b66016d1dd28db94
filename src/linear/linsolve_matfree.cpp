#include "linear/linsolve_matfree.h"

#include <iostream>
#include <variant>

#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/timer.h"
#include "linear/length_check.h"
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

// Check product, relative error, residual vector and status map, the same
// for every method.
AlgoStatus epilogue(const LinsolveContext& c, LinsolveAnswer& answer, std::valarray<double>& y) {
  y = answer.forward ? answer.forward(answer.x) : c.A(answer.x);
  // y -= b below works element by element over equal lengths only.
  requireSameLength(y.size(), c.b.size(), "linsolve: A x and b differ in length");
  const double relerr = answer.relerrKind == RelerrKind::NormalEquations
                            ? relmaxnorm(c.AT(y), c.AT(c.b))
                            : relmaxnorm(y, c.b);
  y -= c.b;

  long status = answer.status;
  // A solver that never polls the control goes on after a failed callback
  // with whatever the callback left; the result must not look like success.
  if (!answer.solverPolledControl && stopRequested(c.control))
    status |= ZELKCOMP_STATUS_CALLBACK_FAILED;

  const OptionMap statusMap{
      {"status", status},
      {"it", answer.it},
      {"calls", c.control != nullptr ? static_cast<long>(c.control->calls) : 0L},
      {"residual", answer.residual},
      {"relerr", relerr},
      {"wtime", get_wall_time() - c.start},
  };

  if (answer.checkPrefix != nullptr) {
    const double bound = 10.0 * answer.checkTol;
    std::cerr << answer.checkPrefix
              << (answer.relerrKind == RelerrKind::NormalEquations
                      ? "norm(A'*A*Xcg - A'*B)/norm(A'*B) = "
                      : "norm(A*Xcg - B)/norm(B) = ")
              << relerr << " < " << bound << " = " << (quietGreater(bound, relerr) ? 1 : 0) << "\n";
  }
  if (answer.closingTrace) answer.closingTrace(std::cerr);
  return AlgoStatus(map_union(c.A.options, statusMap), std::move(answer.x));
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

  const LinsolveContext context{method, A, AT, P, b, x0, control, histcheck, start};
  LinsolveAnswer answer = entry->handler(context);
  return epilogue(context, answer, y);
}

unsigned linsolveCallbacksNeeded(const std::string& method) {
  if (method == "matrixvectorsolve") return NeedsNone;
  const LinsolveMethod* entry = findLinsolveMethod(method);
  return entry == nullptr ? NeedsNone : entry->callbacks;
}

}  // namespace Zelk
