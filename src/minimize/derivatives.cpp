// Derivatives of the minimisation driver: the host's gradient, Hessian and
// Hessian-matrix product through their callbacks, and central differences.
//
// The iteration's finite-difference gradient (no gradient callback) takes
// one step for all components, h = 1e-8 max(||x||, 1), so that a point at
// (or near) the origin still gets the step the relative rule gives at
// ||x|| = 1. The differences the derivative checks compare with take a
// step per variable, h_i = c s_i (s_i = |x_i|, or 1 at 0), and a step t
// along v that moves no component by more than c s_i (driver/fd_step.h):
//
//   gradient        g_i  = (f(x + h_i e_i) - f(x - h_i e_i)) / (2 h_i),      c = 1e-8
//   Hessian         D_i  = H_ii = (f(x + h_i e_i) + f(x - h_i e_i) - 2 f(x)) / h_i^2,  c = 1e-6
//                   H_ij = ((f(x + h_i e_i + h_j e_j) + f(x - h_i e_i - h_j e_j) - 2 f(x))
//                           / (h_i h_j) - D_i h_i / h_j - D_j h_j / h_i) / 2
//   Hessian product H v  = (g(x + t v) - g(x - t v)) / (2t),                 c = 1e-8
//
// each with the rounding estimate of driver/central_difference.h; for the
// second differences
//   e_ii = K eps (|f(x + h_i e_i)| + |f(x - h_i e_i)| + 2 |f(x)|) / h_i^2
//   e_ij = K eps (|f++| + |f--| + |f+_i| + |f-_i| + |f+_j| + |f-_j| + 2 |f(x)|)
//          / (2 h_i h_j),
// the sums of the magnitudes that H_ij's formula adds up.
//
// The difference formulas run quietly (each in a function of its own, so
// that no loop-invariant part of them, such as 2 f(x), is computed outside
// the quiet scope): an objective that is infinite, NaN or huge at a trial
// point gives an infinite or NaN entry, which the callers test, not a trap.

#include <omp.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "dense/norms.h"
#include "dense/quiet_scope.h"
#include "dense/valarray_data.h"
#include "driver/central_difference.h"
#include "driver/driver_errors.h"
#include "driver/fd_step.h"
#include "driver/signal_requests.h"
#include "minimize/zelk_task.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

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

constexpr double kUnwrittenObjective = -0.0;
constexpr std::uint64_t kUnwrittenObjectiveBits = std::bit_cast<std::uint64_t>(kUnwrittenObjective);

void stopOnNonFinite(HostEnvironment& host, HostValues held) {
  if (const char* message = nonFiniteMessage(held)) nonFiniteStop(host, message);
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
    stopOnNonFinite(host, classifyBlock(dataOrNull(g), n));
    return g;
  }
  ++state.nGrad;
  std::valarray<double> g(n);
  // The objective value beside the gradient is optional, and the checks
  // compare it only when the host wrote one. It starts as -0: a zero to a
  // host that reads it or adds its terms into it, whose sign bit tells
  // whether anything was written (a host that writes -0 itself is taken as
  // silent, with the same value 0).
  double fv = kUnwrittenObjective;
  HostValues gradientValues;
  {
    TracedCall traced(';', static_cast<long>(n), state.lastEvalTime);
    CallbackGuard guard(host, FilledHostOutput{&fv, 1},
                        HostOutput{dataOrNull(g), n, &gradientValues});
    gradient(dataOrNull(x), static_cast<long>(n), &fv, 1, dataOrNull(g), user);
  }
  const bool written = std::bit_cast<std::uint64_t>(fv) != kUnwrittenObjectiveBits;
  if (fWritten != nullptr) *fWritten = written;
  if (f != nullptr) *f = written ? fv : 0.0;
  stopOnNonFinite(host, gradientValues);
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
  HostValues gradientValues, productValues;
  {
    TracedCall traced(',', static_cast<long>(k), state.lastHessProductTime);
    CallbackGuard guard(host, HostOutput{&f, 1}, HostOutput{dataOrNull(w), n, &gradientValues},
                        HostOutput{W.data(), n * k, &productValues});
    hessianProduct(dataOrNull(x), static_cast<long>(n), &f, 1, V.data(), static_cast<int>(k),
                   dataOrNull(w), W.data(), user);
  }
  const char* message = nonFiniteMessage(gradientValues);
  if (message == nullptr) message = nonFiniteMessage(productValues);
  if (message != nullptr) nonFiniteStop(host, message);
  return W;
}

namespace {

// Central differences of the objective along every e_i, with the step
// stepOf(i); the points are x +- h_i e_i as stored.
template <class StepOf>
CentralDifference coordinateDifferences(OptimizationTask& task, const std::valarray<double>& x,
                                        StepOf stepOf) {
  const std::size_t n = x.size();
  std::valarray<double> plus(0.0, n), minus(0.0, n), steps(0.0, n);
  std::valarray<double> xx = x;
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = x[i], h = stepOf(i);
    steps[i] = h;
    xx[i] = quietly([&] { return xi + h; });
    plus[i] = task.objectiveAt(xx);
    xx[i] = quietly([&] { return xi - h; });
    minus[i] = task.objectiveAt(xx);
    xx[i] = xi;
  }
  return centralDifference(plus, minus, steps);
}

}  // namespace

std::valarray<double> OptimizationTask::fdgradient(const std::valarray<double>& x) {
  ++state.nFdGrad;
  const double h = fdStep(1e-8, x);
  return coordinateDifferences(*this, x, [h](std::size_t) { return h; }).value;
}

CentralDifference OptimizationTask::fdGradientDifferences(const std::valarray<double>& x,
                                                          double widen) {
  ++state.nFdGrad;
  return coordinateDifferences(*this, x,
                               [&](std::size_t i) { return widen * coordinateStep(1e-8, x[i]); });
}

CentralDifference OptimizationTask::gradientDifferencesAlong(const std::valarray<double>& x,
                                                             const std::valarray<double>& v,
                                                             double t) {
  ++state.nFdHv;
  const std::valarray<double> gPlus =
      gradeval(quietly([&] { return std::valarray<double>(x + t * v); }), nullptr);
  const std::valarray<double> gMinus =
      gradeval(quietly([&] { return std::valarray<double>(x - t * v); }), nullptr);
  return centralDifference(gPlus, gMinus, t);
}

std::valarray<double> OptimizationTask::fdHessianProductExactGradient(
    const std::valarray<double>& x, const std::valarray<double>& v, std::valarray<double>& g,
    double* f) {
  std::valarray<double> hv = gradientDifferencesAlong(x, v, directionalStep(1e-8, x, v)).value;
  g = gradeval(x, f);
  return hv;
}

MatrixTemplate<double> OptimizationTask::fdHessian(const std::valarray<double>& x,
                                                   std::valarray<double>& g, double* f) {
  MatrixTemplate<double> H = fdHessianDifferences(x, 1.0).value;
  g = gradeval(x, f);
  return H;
}

HessianDifferences OptimizationTask::fdHessianDifferences(const std::valarray<double>& x,
                                                          double widen) {
  ++state.nFdHess;
  const std::size_t n = x.size();
  HessianDifferences d{MatrixTemplate<double>(n, n), MatrixTemplate<double>(n, n)};
  MatrixTemplate<double>& H = d.value;
  MatrixTemplate<double>& E = d.error;
  const double f0 = objectiveAt(x);
  std::valarray<double> h(0.0, n), D(0.0, n), sides(0.0, n);  // sides: |f+_i| + |f-_i|
  for (std::size_t i = 0; i < n; ++i) h[i] = widen * coordinateStep(1e-6, x[i]);
  const double noise = kRoundingFactor * DBL_EPSILON;
  std::valarray<double> xx = x;
  for (std::size_t i = 0; i < n; ++i) {
    xx[i] = quietly([&] { return x[i] + h[i]; });
    const double fPlus = objectiveAt(xx);
    xx[i] = quietly([&] { return x[i] - h[i]; });
    const double fMinus = objectiveAt(xx);
    xx[i] = x[i];
    quietly([&] {
      const double q = h[i] * h[i];
      D[i] = H(i, i) = (fPlus + fMinus - 2.0 * f0) / q;
      sides[i] = std::fabs(fPlus) + std::fabs(fMinus);
      E(i, i) = noise * (sides[i] + 2.0 * std::fabs(f0)) / q;
    });
  }
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) {
      xx[i] = quietly([&] { return x[i] + h[i]; });
      xx[j] = quietly([&] { return x[j] + h[j]; });
      const double fPlusPlus = objectiveAt(xx);
      xx[i] = quietly([&] { return x[i] - h[i]; });
      xx[j] = quietly([&] { return x[j] - h[j]; });
      const double fMinusMinus = objectiveAt(xx);
      xx[i] = x[i];
      xx[j] = x[j];
      quietly([&] {
        const double q = h[i] * h[j];
        H(i, j) = H(j, i) =
            ((fPlusPlus + fMinusMinus - 2.0 * f0) / q - D[i] * h[i] / h[j] - D[j] * h[j] / h[i]) *
            0.5;
        E(i, j) = E(j, i) = noise *
                            (std::fabs(fPlusPlus) + std::fabs(fMinusMinus) + sides[i] + sides[j] +
                             2.0 * std::fabs(f0)) /
                            (2.0 * q);
      });
    }
  return d;
}

MatrixTemplate<double> evalHessian(OptimizationTask& task, const std::valarray<double>& x,
                                   std::valarray<double>& g, HessianValues* held) {
  ++state.nHess;
  const std::size_t n = x.size();
  MatrixTemplate<double> H(n, n);
  if (task.hessian == nullptr) {
    if (held != nullptr) *held = {{}, classifyBlock(dataOrNull(g), g.size())};
    return H;
  }
  if (g.size() != n) g.resize(n);
  double f = 0.0;
  HessianValues seen;
  {
    TracedCall traced('.', static_cast<long>(n), state.lastHessTime);
    CallbackGuard guard(task.host, HostOutput{&f, 1}, HostOutput{dataOrNull(g), n, &seen.gradient},
                        HostOutput{H.data(), n * n, &seen.hessian});
    task.hessian(dataOrNull(x), static_cast<long>(n), &f, 1, dataOrNull(g), H.data(), task.user);
  }
  if (held != nullptr) *held = seen;
  return H;
}
