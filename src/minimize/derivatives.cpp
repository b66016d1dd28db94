// Derivatives of the minimisation driver: the host's gradient, Hessian and
// Hessian-matrix product through their callbacks, and central differences.
//
// Finite differences use one step for all components,
//     h = c * max(||x||, 1),   c = 1e-8 (gradients, products), 1e-6 (Hessian),
// so that a point at (or near) the origin still gets a step of the size
// the relative rule gives at ||x|| = 1 instead of a zero step.
//
//   gradient        g_i  = (f(x + h e_i) - f(x - h e_i)) / (2h)
//   Hessian         D_i  = H_ii = (f(x + h e_i) + f(x - h e_i) - 2 f(x)) / h^2
//                   H_ij = ((f(x + h e_i + h e_j) + f(x - h e_i - h e_j) - 2 f(x)) / h^2
//                           - D_i - D_j) / 2
//   Hessian product H v  = (g(x + h v) - g(x - h v)) / (2h)
//
// Rounding noise of a gradient component, with eps the unit roundoff
// (2^-52) and a safety factor K = 10 for the objective's own rounding:
//   K eps ( (|f+| + |f-|) / (2h)  +  |x_i| |f+ + f- - 2 f(x)| / h^2 )
// The first term is the rounding of the two values; the second that of the
// steps x_i +- h (each off by up to eps |x_i|), which shifts the centre of
// the difference and so adds the curvature estimate times that shift. At a
// stationary point the exact gradient is 0 and the difference is pure
// noise: the gradient check compares with this estimate there.
//
// The difference formulas run quietly (each in a function of its own, so
// that no loop-invariant part of them, such as 2 f(x), is computed outside
// the quiet scope): an objective that is infinite, NaN or huge at a trial
// point gives an infinite or NaN entry, which the callers test, not a trap.

#include <omp.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "driver/driver_errors.h"
#include "driver/fd_step.h"
#include "driver/signal_requests.h"
#include "linear/valarray_data.h"
#include "minimize/optimization_task.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

constexpr double kNoiseFactor = 10.0;

// Trace marks of a host derivative call (trace bits 0x100, 0x200) and its
// timing (0x400, 0x800) into `duration`.
class TracedCall {
 public:
  TracedCall(char mark, long count, double& duration) : duration_(duration) {
    const unsigned trace = opts.trace;
    if (trace & 0x100) {
      std::cout << mark;
      if (trace & 0x200) std::cout << "(" << count << ")" << std::flush;
    }
    if (trace & 0x400) start_ = omp_get_wtime();
  }
  ~TracedCall() {
    const unsigned trace = opts.trace;
    if (!(trace & 0x400)) return;
    duration_ = omp_get_wtime() - start_;
    if (trace & 0x800) std::cout << "(" << duration_ << "s)" << std::flush;
  }
  TracedCall(const TracedCall&) = delete;
  TracedCall& operator=(const TracedCall&) = delete;

 private:
  double& duration_;
  double start_ = 0.0;
};

// A NaN with its own payload: an objective output still holding it after
// the call was not written.
constexpr std::uint64_t kUnwrittenBits = 0x7ff8dead0000beefULL;

double unwrittenMarker() {
  double d;
  std::memcpy(&d, &kUnwrittenBits, sizeof d);
  return d;
}

bool isUnwrittenMarker(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits == kUnwrittenBits;
}

void stopOnNonFinite(HostEnvironment& host, const double* v, std::size_t n) {
  if (const char* message = nonFiniteValues(v, n)) nonFiniteStop(host, message);
}

}  // namespace

void OptimizationTask::sigintHandler(int) { postInterruptRequest(); }
void OptimizationTask::sigusr1Handler(int) { postSaveRequest(); }
void OptimizationTask::sigusr2Handler(int) { postSaveAndStopRequest(); }

double OptimizationTask::callObjective(const std::valarray<double>& x) {
  double f = 0.0;
  {
    CallbackGuard guard(host, HostOutput{&f, 1});
    objective(dataOrNull(x), static_cast<long>(x.size()), &f, 1, user);
  }
  return f;
}

double OptimizationTask::objectiveAt(const std::valarray<double>& x) {
  ++state.nFunc;
  return callObjective(x);
}

std::valarray<double> OptimizationTask::gradeval(const std::valarray<double>& x, double* f,
                                                 bool* fWritten) {
  const std::size_t n = x.size();
  if (gradient == nullptr) {
    std::valarray<double> g = fdgradient(x);
    if (f != nullptr) *f = 0.0;
    if (fWritten != nullptr) *fWritten = false;
    stopOnNonFinite(host, dataOrNull(g), n);
    return g;
  }
  ++state.nGrad;
  std::valarray<double> g(0.0, n);
  // Only a caller that asks whether f was written gets the marker; every
  // other call starts the callback from f = 0.
  double fv = fWritten != nullptr ? unwrittenMarker() : 0.0;
  {
    TracedCall traced(';', static_cast<long>(n), state.lastEvalTime);
    CallbackGuard guard(host, HostOutput{&fv, 1}, HostOutput{dataOrNull(g), n});
    gradient(dataOrNull(x), static_cast<long>(n), &fv, 1, dataOrNull(g), user);
  }
  if (fWritten != nullptr) {
    *fWritten = !isUnwrittenMarker(fv);
    if (!*fWritten) fv = 0.0;
  }
  if (f != nullptr) *f = fv;
  stopOnNonFinite(host, dataOrNull(g), n);
  return g;
}

MatrixTemplate<double> OptimizationTask::hessveceval(const std::valarray<double>& x,
                                                     const MatrixTemplate<double>& V,
                                                     std::valarray<double>& w) {
  const std::size_t n = x.size(), k = V.cols;
  if (V.rows != n || V.elements.size() < n * k)
    throw std::invalid_argument("hessveceval: the block does not have one row per variable");
  ++state.nHv;
  MatrixTemplate<double> W(n, k);
  if (hessianProduct == nullptr) return W;
  if (w.size() != n) w.resize(n);
  double f = 0.0;
  {
    TracedCall traced(',', static_cast<long>(k), state.lastHessProductTime);
    CallbackGuard guard(host, HostOutput{&f, 1}, HostOutput{dataOrNull(w), n},
                        HostOutput{W.data(), n * k});
    hessianProduct(dataOrNull(x), static_cast<long>(n), &f, 1, V.data(), static_cast<int>(k),
                   dataOrNull(w), W.data(), user);
  }
  const char* message = nonFiniteValues(dataOrNull(w), n);
  if (message == nullptr) message = nonFiniteValues(W.data(), n * k);
  if (message != nullptr) nonFiniteStop(host, message);
  return W;
}

std::valarray<double> OptimizationTask::fdgradient(const std::valarray<double>& x) {
  return fdgradientWithNoise(x, std::numeric_limits<double>::quiet_NaN()).g;
}

FdGradient OptimizationTask::fdgradientWithNoise(const std::valarray<double>& x, double fx) {
  ++state.nFdGrad;
  const std::size_t n = x.size();
  const double h = fdStep(1e-8, x);
  FdGradient result{std::valarray<double>(0.0, n), 0.0};
  std::valarray<double> xx = x;
  double noise2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i];
    xx[i] = xi + h;
    const double fPlus = objectiveAt(xx);
    xx[i] = xi - h;
    const double fMinus = objectiveAt(xx);
    xx[i] = xi;
    quietly([&] {
      result.g[i] = (fPlus - fMinus) / (2.0 * h);
      double noise = (std::fabs(fPlus) + std::fabs(fMinus)) / (2.0 * h);
      if (!std::isnan(fx)) noise += std::fabs(xi) * std::fabs(fPlus + fMinus - 2.0 * fx) / (h * h);
      noise *= kNoiseFactor * DBL_EPSILON;
      noise2 += noise * noise;
    });
  }
  result.noise = quietly([&] { return std::sqrt(noise2); });
  return result;
}

std::valarray<double> OptimizationTask::fdHessianProductExactGradient(
    const std::valarray<double>& x, const std::valarray<double>& v, std::valarray<double>& g,
    double* f) {
  ++state.nFdHv;
  const double h = fdStep(1e-8, x);
  const std::valarray<double> gPlus =
      gradeval(quietly([&] { return std::valarray<double>(x + h * v); }), nullptr);
  const std::valarray<double> gMinus =
      gradeval(quietly([&] { return std::valarray<double>(x - h * v); }), nullptr);
  std::valarray<double> hv =
      quietly([&] { return std::valarray<double>((gPlus - gMinus) / (2.0 * h)); });
  g = gradeval(x, f);
  return hv;
}

MatrixTemplate<double> OptimizationTask::fdHessian(const std::valarray<double>& x,
                                                   std::valarray<double>& g, double* f) {
  ++state.nFdHess;
  const std::size_t n = x.size();
  MatrixTemplate<double> H(n, n);
  const double f0 = objectiveAt(x);
  const double h = fdStep(1e-6, x);
  const double q = quietly([&] { return h * h; });
  std::valarray<double> xx = x;
  std::valarray<double> D(0.0, n);
  for (std::size_t i = 0; i < n; ++i) {
    xx[i] = x[i] + h;
    const double fPlus = objectiveAt(xx);
    xx[i] = x[i] - h;
    const double fMinus = objectiveAt(xx);
    xx[i] = x[i];
    quietly([&] { D[i] = H(i, i) = (fPlus + fMinus - 2.0 * f0) / q; });
  }
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) {
      xx[i] = x[i] + h;
      xx[j] = x[j] + h;
      const double fPlusPlus = objectiveAt(xx);
      xx[i] = x[i] - h;
      xx[j] = x[j] - h;
      const double fMinusMinus = objectiveAt(xx);
      xx[i] = x[i];
      xx[j] = x[j];
      quietly([&] {
        H(i, j) = H(j, i) = ((fPlusPlus + fMinusMinus - 2.0 * f0) / q - D[i] - D[j]) * 0.5;
      });
    }
  g = gradeval(x, f);
  return H;
}

MatrixTemplate<double> evalHessian(OptimizationTask& task, const std::valarray<double>& x,
                                   std::valarray<double>& g) {
  ++state.nHess;
  const std::size_t n = x.size();
  MatrixTemplate<double> H(n, n);
  if (task.hessian == nullptr) return H;
  if (g.size() != n) g.resize(n);
  double f = 0.0;
  TracedCall traced('.', static_cast<long>(n), state.lastHessTime);
  CallbackGuard guard(task.host, HostOutput{&f, 1}, HostOutput{dataOrNull(g), n},
                      HostOutput{H.data(), n * n});
  task.hessian(dataOrNull(x), static_cast<long>(n), &f, 1, dataOrNull(g), H.data(), task.user);
  return H;
}
