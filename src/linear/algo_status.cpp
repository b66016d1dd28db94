#include "linear/algo_status.h"

#include <cmath>
#include <limits>

#include "dense/quiet_compare.h"

AlgoStatus& AlgoStatus::operator=(AlgoStatus&& other) noexcept {
  if (this == &other) return *this;
  options = std::move(other.options);
  other.options.clear();
  x = std::move(other.x);
  std::valarray<double>().swap(other.x);
  return *this;
}

long AlgoStatus::code() const {
  constexpr double big = std::numeric_limits<double>::max();
  long s = geti("status", 0);
  const double res = residual(), rel = relerr();
  const double tol = getf_required(*this, "tol");
  const long maxit = geti_required(*this, "maxit");
  const double wtime = getf("wtime", 0.0), maxt = getf("maxt", big);
  if (!quietLess(res, tol)) s |= 1;
  if (geti("it", 0) >= maxit) s |= 4;
  if (!quietLess(wtime, maxt)) s |= 8;
  if (std::isnan(rel) || std::isnan(res)) s |= 16;
  if (std::isinf(rel) || std::isinf(res)) s |= 32;
  // A negative code stored as "status" (a host callback's return value,
  // LAPACK's info) would make the word look like an error of the entry
  // points; its low 31 bits keep it visible instead.
  if (s < 0) s &= kNegativeCodeMask;
  return s;
}

IterativeResult AlgoStatus::result() const {
  IterativeResult r{};
  r.status = code();
  r.wtime = getf("wtime", 0.0);
  r.residual = residual();
  r.relerr = relerr();
  r.it = geti("it", 0);
  r.calls = geti("calls", 0);
  r.reserved = 0;
  return r;
}
