// The least-squares driver's calls of the host's residual, Jacobian and
// product callbacks.
//
// Each call is counted first, then (trace bit 0x100) marked ";" on
// standard output, with bit 0x200 also "(n)". A missing callback is
// reported through zelkStop (code -1) under the host's settings, and the
// call returns with its outputs untouched. The Jacobian and product calls
// are timed with the wall clock while bit 0x100 is set (the seconds go to
// the run state's last-callback time, for a Jacobian also to its Jacobian
// time), and bit 0x10000000 prints "(seconds s)" after them; the residual
// calls are neither marked nor timed.
//
// The host writes straight into the callers' storage, so the lengths are
// checked before the host is called: it is handed exactly the room it
// writes into. The residual, Jacobian and product outputs hold zeros when
// the host's call starts (driver/callback_guard.h); the residual array
// beside a Jacobian or a product holds F at the driver's point, which the
// host may write again.

#include <omp.h>

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>

#include "dense/length_check.h"
#include "dense/valarray_data.h"
#include "driver/callback_guard.h"
#include "driver/driver_errors.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

constexpr unsigned kTraceMark = 0x100;
constexpr unsigned kTraceCount = 0x200;
constexpr unsigned kTraceSeconds = 0x10000000;

// Counts the call and marks it; false (after the report) without a callback.
bool announce(HostEnvironment& host, std::int32_t& counter, std::size_t n, bool present,
              const char* missing) {
  ++counter;
  const unsigned trace = opts.trace;
  if (trace & kTraceMark) {
    std::cout << ';';
    if (trace & kTraceCount) std::cout << '(' << n << ')' << std::flush;
  }
  if (present) return true;
  driverStop(host, missing, -1);
  return false;
}

// One guarded, timed host call that writes r and out; returns its seconds
// (0 when not timed).
template <class Call>
double timedCall(HostEnvironment& host, FilledHostOutput r, HostOutput out, Call&& call) {
  const unsigned trace = opts.trace;
  const double t0 = (trace & kTraceMark) ? omp_get_wtime() : 0.0;
  {
    CallbackGuard guard(host, r, out);
    call();
  }
  double t1 = 0.0;
  if (trace & kTraceMark) {
    t1 = omp_get_wtime();
    state.lastCallbackTime() = t1 - t0;
  }
  if (trace & kTraceSeconds) std::cout << '(' << t1 - t0 << "s)" << std::flush;
  return t1 - t0;
}

void requireRoom(std::size_t have, std::size_t need, const char* what) {
  if (have < need) throw std::invalid_argument(what);
}

// The number of vectors of `length` entries among `entries` numbers; a
// block that is not made of whole vectors is refused.
std::size_t vectorCount(std::size_t entries, std::size_t length, const char* what) {
  if (length == 0) {
    if (entries != 0) throw std::invalid_argument(what);
    return 0;
  }
  if (entries % length != 0) throw std::invalid_argument(what);
  return entries / length;
}

constexpr const char* kMissingJv = "Jacobian-vector product function handle is null";
constexpr const char* kMissingVJ = "vector-Jacobian function handle is null";

// One of the two product callbacks (both have this shape).
struct ProductCallback {
  TrovikJvFn call;
  const char* missing;  // the report of a null callback
};

// count products in one host call, into the count * outLength entries at
// out.
void hostProduct(HostEnvironment& host, std::int32_t& counter, const ProductCallback& product,
                 const std::valarray<double>& x, std::valarray<double>& r, const double* in,
                 std::size_t count, double* out, std::size_t outLength, void* user) {
  const std::size_t n = x.size(), m = r.size();
  if (!announce(host, counter, n, product.call != nullptr, product.missing)) return;
  timedCall(host, FilledHostOutput{dataOrNull(r), m}, HostOutput{out, count * outLength}, [&] {
    product.call(dataOrNull(x), n, dataOrNull(r), m, in, static_cast<long>(count), out, user);
  });
}

// k = entries / (n, or m when transposed) products of the vectors at `in`
// in one host call, into `room` numbers at `out`.
void blockProduct(TrovikOptimizationTask& task, bool transposed, const std::valarray<double>& x,
                  std::valarray<double>& r, const double* in, std::size_t entries, double* out,
                  std::size_t room) {
  const std::size_t n = x.size(), m = r.size();
  if (transposed) {
    const std::size_t k =
        vectorCount(entries, m, "VJevalBlock: W does not hold whole vectors of m entries");
    requireRoom(room, k * n, "VJevalBlock: Out has no room for the products");
    hostProduct(task.host, state.vjCalls(), {task.vj, kMissingVJ}, x, r, in, k, out, n, task.user);
  } else {
    const std::size_t k =
        vectorCount(entries, n, "JVevalBlock: V does not hold whole vectors of n entries");
    requireRoom(room, k * m, "JVevalBlock: Out has no room for the products");
    hostProduct(task.host, state.jvCalls(), {task.jv, kMissingJv}, x, r, in, k, out, m, task.user);
  }
}

// The entries of a block, refused when its storage holds fewer.
std::size_t blockEntries(const MatrixTemplate<double>& B, const char* what) {
  requireRoom(B.elements.size(), B.rows * B.cols, what);
  return B.rows * B.cols;
}

}  // namespace

void TrovikOptimizationTask::Feval(const std::valarray<double>& x, std::valarray<double>& r) {
  ++state.residualCalls();
  if (residual == nullptr) {
    driverStop(host, "function handle is null", -1);
    return;
  }
  CallbackGuard guard(host, HostOutput{dataOrNull(r), r.size()});
  residual(dataOrNull(x), x.size(), dataOrNull(r), r.size(), user);
}

HostValues TrovikOptimizationTask::Jeval(const std::valarray<double>& x,
                                         std::valarray<double>& r, MatrixTemplate<double>& J) {
  const std::size_t n = x.size(), m = r.size();
  if (J.rows != m || J.cols != n) throw std::invalid_argument("Jeval: J is not m x n");
  requireRoom(J.elements.size(), m * n, "Jeval: J has no room for m x n entries");
  if (!announce(host, state.jacobianCalls(), n, jacobian != nullptr,
                "Jacobian function handle is null"))
    return classifyBlock(J.data(), m * n);
  HostValues held;
  const double seconds =
      timedCall(host, FilledHostOutput{dataOrNull(r), m}, HostOutput{J.data(), m * n, &held},
                [&] { jacobian(dataOrNull(x), n, dataOrNull(r), m, J.data(), user); });
  if (opts.trace & kTraceMark) state.lastEvalTime = seconds;
  return held;
}

void TrovikOptimizationTask::JVeval(const std::valarray<double>& x, std::valarray<double>& r,
                                    const std::valarray<double>& v, std::valarray<double>& out) {
  requireSameLength(v.size(), x.size(), "JVeval: v is not of length n");
  requireSameLength(out.size(), r.size(), "JVeval: out is not of length m");
  hostProduct(host, state.jvCalls(), {jv, kMissingJv}, x, r, dataOrNull(v), 1,
              dataOrNull(out), out.size(), user);
}

void TrovikOptimizationTask::VJeval(const std::valarray<double>& x, std::valarray<double>& r,
                                    const std::valarray<double>& w, std::valarray<double>& out) {
  requireSameLength(w.size(), r.size(), "VJeval: w is not of length m");
  requireSameLength(out.size(), x.size(), "VJeval: out is not of length n");
  hostProduct(host, state.vjCalls(), {vj, kMissingVJ}, x, r, dataOrNull(w), 1,
              dataOrNull(out), out.size(), user);
}

void TrovikOptimizationTask::JVevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                                         const MatrixTemplate<double>& V,
                                         MatrixTemplate<double>& Out) {
  const std::size_t entries =
      blockEntries(V, "JVevalBlock: V does not hold whole vectors of n entries");
  blockProduct(*this, false, x, r, V.data(), entries, Out.data(), Out.elements.size());
}

void TrovikOptimizationTask::VJevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                                         const MatrixTemplate<double>& W,
                                         MatrixTemplate<double>& Out) {
  const std::size_t entries =
      blockEntries(W, "VJevalBlock: W does not hold whole vectors of m entries");
  blockProduct(*this, true, x, r, W.data(), entries, Out.data(), Out.elements.size());
}

void TrovikOptimizationTask::JVevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                                         const std::valarray<double>& V,
                                         std::valarray<double>& Out) {
  blockProduct(*this, false, x, r, dataOrNull(V), V.size(), dataOrNull(Out), Out.size());
}

void TrovikOptimizationTask::VJevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                                         const std::valarray<double>& W,
                                         std::valarray<double>& Out) {
  blockProduct(*this, true, x, r, dataOrNull(W), W.size(), dataOrNull(Out), Out.size());
}
