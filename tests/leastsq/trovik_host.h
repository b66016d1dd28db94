#pragma once
// A host program for the least-squares driver: a residual function r(x)
// with its Jacobian as C callbacks (the Jacobian and both products, each
// writing r(x) into its residual argument, as the derivative checks
// expect), an iteration callback that keeps every record, call counts, and
// switches and hooks that make a callback misbehave or look around. Known
// test problems with their answers are at the end; the tests, the
// benchmark and the monitor test's host program share them.

#include <fenv.h>
#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <numeric>
#include <string>
#include <type_traits>
#include <utility>
#include <valarray>
#include <vector>

#include "dense/quiet_scope.h"
#include "leastsq/trovik_task.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "tests/support/dual_number.h"
#include "tests/support/residual_problems.h"
#include "zelk/trovik.h"

namespace trovik_host {

using Record = std::map<std::string, std::string>;
using Options = std::vector<std::pair<std::string, double>>;
using Values = std::vector<double>;
using Vec = std::valarray<double>;

struct Problem {
  std::string name;
  std::size_t n = 0, m = 0;
  std::function<void(const double* x, double* r)> residual;
  std::function<void(const double* x, double* J)> jacobian;  // m x n, row-major
  Values start;
  // The answer: the solution, or (empty) the least sum of squares, with the
  // tolerance a run reaches it to.
  Values solution;
  double minimum = 0.0, tolerance = 0.0;
};

// What a callback saw: the lengths, the count of vectors or record entries,
// the trap mask.
struct Seen {
  std::size_t n = 0, m = 0;
  long count = -1;
  int traps = -1;
  bool operator==(const Seen&) const = default;
};

struct Host {
  explicit Host(Problem p) : problem(std::move(p)) {}

  Problem problem;
  bool writeResiduals = true;                          // the Jacobian callback writes r(x)
  double jacobianError = 0.0;                          // added to J(0, 0)
  double jacobianScale = 1.0;                          // multiplies every entry of J
  double transposeScale = 1.0;                         // multiplies J^T w of the product
  std::function<void()> inCallback;                    // runs inside every callback
  std::function<void(Host&, const Record&)> onRecord;  // inside the iteration callback
  // Mistakes of one callback: on the Jacobian callback's J (m x n,
  // row-major), on the first vector the Jacobian-vector or the
  // vector-Jacobian product hands back, and on the matrix whose transpose
  // the vector-Jacobian product applies.
  std::function<void(double*)> alterJacobian, alterJtwMatrix, alterJv, alterJtw;

  std::vector<Record> records;
  int residualCalls = 0, jacobianCalls = 0, productCalls = 0;
  Seen seen;  // by the last callback

  // Every callback starts here: its call counted, what it saw kept.
  Host& enter(int Host::*counter, std::size_t n, std::size_t m, long count) {
    if (counter) ++(this->*counter);
    seen = {n, m, count, fegetexcept()};
    if (inCallback) inCallback();
    return *this;
  }
  void jacobianAt(const double* x, double* r, double* J) const {
    if (writeResiduals) problem.residual(x, r);
    problem.jacobian(x, J);
    for (std::size_t i = 0; i < problem.m * problem.n; ++i) J[i] *= jacobianScale;
    J[0] += jacobianError;
  }
};

inline Host& of(void* user) { return *static_cast<Host*>(user); }

inline int residualFn(const double* x, std::size_t n, double* r, std::size_t m, void* user) {
  of(user).enter(&Host::residualCalls, n, m, 0).problem.residual(x, r);
  return 0;
}

inline int jacobianFn(const double* x, std::size_t n, double* r, std::size_t m, double* J,
                      void* user) {
  Host& h = of(user).enter(&Host::jacobianCalls, n, m, 0);
  h.jacobianAt(x, r, J);
  if (h.alterJacobian) h.alterJacobian(J);
  return 0;
}

// count products with J (J^T when transposed), vectors one after the other.
template <bool Transposed>
int productFn(const double* x, std::size_t n, double* r, std::size_t m, const double* in,
              long count, double* out, void* user) {
  Host& h = of(user).enter(&Host::productCalls, n, m, count);
  std::vector<double> J(m * n);
  h.jacobianAt(x, r, J.data());
  if (Transposed && h.alterJtwMatrix) h.alterJtwMatrix(J.data());
  const std::size_t inLength = Transposed ? m : n, outLength = Transposed ? n : m;
  for (long k = 0; k < count; ++k)
    for (std::size_t o = 0; o < outLength; ++o) {
      double s = 0.0;
      for (std::size_t i = 0; i < inLength; ++i)
        s += (Transposed ? J[i * n + o] : J[o * n + i]) * in[k * inLength + i];
      out[k * outLength + o] = Transposed ? s * h.transposeScale : s;
    }
  if (const auto& alter = Transposed ? h.alterJtw : h.alterJv; alter && count > 0) alter(out);
  return 0;
}

inline int iterationFn(const double*, std::size_t n, const double*, std::size_t m, const void*,
                       const void*, const char** keys, const char** values, long count,
                       void* user) {
  Host& h = of(user).enter(nullptr, n, m, count);
  Record& record = h.records.emplace_back();
  for (long i = 0; i < count; ++i) record[keys[i]] = values[i];
  if (h.onRecord) h.onRecord(h, record);
  return 0;
}

// Which callbacks a run gets.
enum class Callbacks { Jacobian, Products, JacobianAndProducts };

struct Outcome {
  int status = 0;
  Values x, r;
};

// One trovik call; x and r start as NaN so that a test sees what was written.
inline Outcome run(Host& h, const Options& options, Callbacks given = Callbacks::Jacobian) {
  std::vector<const char*> names;
  Values values;
  for (const auto& [name, value] : options) {
    names.push_back(name.c_str());
    values.push_back(value);
  }
  const bool jacobian = given != Callbacks::Products, products = given != Callbacks::Jacobian;
  Outcome out{0, Values(h.problem.n, std::nan("")), Values(h.problem.m, std::nan(""))};
  out.status =
      trovik(h.problem.start.data(), out.x.data(), h.problem.n, out.r.data(), h.problem.m,
             residualFn, jacobian ? jacobianFn : nullptr, products ? productFn<false> : nullptr,
             products ? productFn<true> : nullptr, nullptr, iterationFn, names.data(),
             values.data(), static_cast<long>(names.size()), &h);
  return out;
}

// r(x), as a vector or (residualsAt<Vec>) a valarray.
template <class V = Values>
V residualsAt(const Problem& p, const std::type_identity_t<V>& x) {
  V r(p.m);
  p.residual(&x[0], &r[0]);
  return r;
}

inline double sumOfSquares(const Values& r) {
  return std::inner_product(r.begin(), r.end(), r.begin(), 0.0);
}

// How far x is from the problem's answer: the largest distance of an entry
// from the solution, or that of the sum of squares from the minimum.
inline double miss(const Problem& p, const Values& x) {
  if (p.solution.empty()) return std::fabs(sumOfSquares(residualsAt(p, x)) - p.minimum);
  double most = 0.0;
  for (std::size_t j = 0; j < p.n; ++j) most = std::fmax(most, std::fabs(x[j] - p.solution[j]));
  return most;
}

// The records that carry a key, in order (iteration records carry "tj").
inline std::vector<Record> withKey(const Host& h, const std::string& key) {
  std::vector<Record> out;
  for (const Record& r : h.records)
    if (r.count(key)) out.push_back(r);
  return out;
}

// --- Known problems ---------------------------------------------------------

// r = A x - b (A m x n, row-major), with its least-squares solution from
// LAPACK's SVD solve.
inline Problem linear(std::string name, std::size_t m, std::size_t n, Values A, Values b,
                      Values start) {
  Values solution(b), a(A), s(n);
  lapack_int rank = 0;
  LAPACKE_dgelsd(LAPACK_ROW_MAJOR, static_cast<int>(m), static_cast<int>(n), 1, a.data(),
                 static_cast<int>(n), solution.data(), 1, s.data(), -1.0, &rank);
  solution.resize(n);
  Problem p{std::move(name), n, m, nullptr, nullptr, std::move(start), solution, 0.0, 1e-8};
  p.residual = [A, b, m, n](const double* x, double* r) {
    for (std::size_t i = 0; i < m; ++i) {
      r[i] = -b[i];
      for (std::size_t j = 0; j < n; ++j) r[i] += A[i * n + j] * x[j];
    }
  };
  p.jacobian = [A](const double*, double* J) { std::copy(A.begin(), A.end(), J); };
  return p;
}

// r = A x - b for a 30 x n A with entries of both signs.
inline Problem linearProblemOf(std::size_t n) {
  Values A(30 * n), b(30);
  for (std::size_t i = 0; i < 30; ++i) {
    for (std::size_t j = 0; j < n; ++j)
      A[i * n + j] = std::sin(1.0 + 3.0 * double(i) + 7.0 * double(j)) + (i % n == j ? 2.0 : 0.0);
    b[i] = std::cos(0.5 * double(i));
  }
  return linear("linear", 30, n, A, b, Values(n, 0.0));
}

inline Problem linearProblem() { return linearProblemOf(4); }

// The nonlinear problems write their residuals once, for doubles and for
// dual numbers, and take their Jacobians column by column from them.
using Dual = dual_number::Dual<double>;

// A problem from residual code f(x, r) written for any number type.
template <class F>
Problem nonlinear(std::string name, std::size_t m, Values start, Values solution, double minimum,
                  double tolerance, F f) {
  const std::size_t n = start.size();
  Problem p{std::move(name),     n,       m,        nullptr, nullptr, std::move(start),
            std::move(solution), minimum, tolerance};
  p.residual = [f](const double* x, double* r) { f(x, r); };
  p.jacobian = [f, n, m](const double* x, double* J) {
    std::vector<Dual> xd(n), rd(m);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < n; ++k) xd[k] = Dual(x[k], k == j ? 1.0 : 0.0);
      f(xd.data(), rd.data());
      for (std::size_t i = 0; i < m; ++i) J[i * n + j] = rd[i].d;
    }
  };
  return p;
}

// A problem of the collection in support/residual_problems.h, with its
// answer; its residuals run without trapping (far trial points overflow
// exp in some of them, and the host hands back the infinities, as a host
// may).
template <class P>
Problem collected(Values solution, double minimum, double tolerance) {
  return nonlinear(P::name, P::m, P::start(), std::move(solution), minimum, tolerance,
                   [](const auto* x, auto* r) {
                     const QuietFpScope quiet;
                     P::residuals(x, r);
                   });
}

// Rosenbrock: root (1, 1).
inline Problem rosenbrock() { return collected<residual_problems::Rosenbrock>({1, 1}, 0.0, 1e-7); }

// Powell's singular function: root 0, where J is singular.
inline Problem powellSingular() {
  return collected<residual_problems::PowellSingular>({0, 0, 0, 0}, 0.0, 1e-6);
}

// Freudenstein and Roth: root (5, 4), and a local minimum with sum of
// squares 48.9842 near (11.41, -0.8968).
inline Problem freudensteinRoth() {
  return collected<residual_problems::FreudensteinRoth>({}, 48.9842, 1e-4);
}

// Bard: 15 residuals in 3 variables, least sum of squares 8.21487e-3.
inline Problem bard() { return collected<residual_problems::Bard>({}, 8.21487e-3, 1e-8); }

// The README's fit: y = a exp(-b t) to ten samples of 2 exp(-t / 2), each
// moved by 0.01 (down at even t, up at odd t), from (1, 1). Its residual
// does not vanish at the answer (found by Gauss-Newton in 40-digit
// arithmetic), where the objective 1000 ||r|| / 10 is 3.0791. Without the
// perturbation (`exact`) the samples lie on the model, at (2, 0.5).
template <class T>
void readmeResiduals(double moved, const T* x, T* r) {
  using std::exp;
  for (int i = 0; i < 10; ++i) {
    const double t = i, y = 2.0 * std::exp(-0.5 * t) + (i % 2 ? moved : -moved);
    r[i] = x[0] * exp(x[1] * -t) - y;
  }
}

inline Problem readmeFit(bool exact = false) {
  const double moved = exact ? 0.0 : 0.01;
  const Values answer =
      exact ? Values{2.0, 0.5} : Values{1.9935547903854756, 0.49781687427382159};
  return nonlinear("readme-fit", 10, {1.0, 1.0}, answer, 0.0, 1e-8,
                   [moved](const auto* x, auto* r) { readmeResiduals(moved, x, r); });
}

// The README's fit with an eleventh residual of constant value C (its
// Jacobian row zero): f = 1000 sqrt(C^2 + s) / 11 carries a large constant
// part, and the whole fit changes it by some 4.5e5 of its rounding units
// at C = 1e5, by 45 at C = 1e7. Its residuals overflow without trapping,
// as a host's may.
inline Problem readmeFitWithConstant(double C) {
  return nonlinear("readme-fit-and-constant", 11, {1.0, 1.0}, {}, 0.0, 0.0,
                   [C](const auto* x, auto* r) {
                     // From starts at 0 the searches reach b far below 0,
                     // where exp overflows.
                     const QuietFpScope quiet;
                     readmeResiduals(0.01, x, r);
                     r[10] = x[0] * 0.0 + C;
                   });
}

// y = a1 exp(-b1 t) + a2 exp(-b2 t) at t = 0, 0.05, ..., 1.45 from
// (0.7, 1.3, 1.6, 4.1), each point moved by 10^-d (down, not, up as i mod
// 3 runs; d = 0: not moved) and then printed to `digits` significant
// digits (0: as computed); fitted from (0.5, 1.0, 1.8, 3.5). The residuals
// at the answer are of the order of the movement or of the printing,
// while each is rounded at the scale of its data (some 1e-16).
inline Problem twoExponentials(int d, int digits = 0) {
  Values y(30);
  for (int i = 0; i < 30; ++i) {
    const double t = 0.05 * i;
    double v = 0.7 * std::exp(-1.3 * t) + 1.6 * std::exp(-4.1 * t);
    if (d > 0) v += std::pow(10.0, -d) * (i % 3 - 1);
    if (digits > 0) {
      char printed[32];
      std::snprintf(printed, sizeof printed, "%.*e", digits - 1, v);
      v = std::strtod(printed, nullptr);
    }
    y[i] = v;
  }
  return nonlinear("two-exponentials", 30, {0.5, 1.0, 1.8, 3.5}, {}, 0.0, 0.0,
                   [y](const auto* x, auto* r) {
                     using std::exp;
                     for (int i = 0; i < 30; ++i) {
                       const double t = 0.05 * i;
                       r[i] = x[0] * exp(-x[1] * t) + x[2] * exp(-x[3] * t) - y[i];
                     }
                   });
}

// An exponential rise y = b1 (1 - exp(-b2 x)) fitted to 14 points of our
// own (support/residual_problems.h); its residual does not vanish.
inline Problem exponentialRise() {
  using P = residual_problems::ExponentialRise;
  return collected<P>(P::solution(), 0.0, 0.0);
}

// Meyer: 16 residuals in 3 variables with values of the order 1e4; least
// sum of squares 87.9458 near (0.0056096, 6181.35, 345.224). Hard from the
// standard start: the valley is long and curved, and J is badly scaled.
inline Problem meyer() { return collected<residual_problems::Meyer>({}, 87.9458, 1e-3); }

// --- For the tests ------------------------------------------------------------

// A linear system r = A (x - c) started at its root c.
inline Problem zeroResidualAtStart() {
  return linear("at-root", 3, 3, {4, 1, 0, 1, 3, 1, 0, 1, 2}, {2.0, -4.5, -1.0}, {1.0, -2.0, 0.5});
}

// r = A x - b, 6 x 3.
inline Problem sixByThree() {
  return linear("6x3", 6, 3, {2, 1, 0, 1, 3, 1, 0, 1, 4, 1, 0, 1, -1, 2, 1, 3, -1, 2},
                {1, -2, 0.5, 3, 0, -1}, {0.0, 0.0, 0.0});
}

inline void connect(TrovikOptimizationTask& task, Host& host) {
  task.residual = residualFn;
  task.jacobian = jacobianFn;
  task.jv = productFn<false>;
  task.vj = productFn<true>;
  task.iteration = iterationFn;
  task.user = &host;
}

// The least-squares driver's default options and a fresh run state, for
// the scope and after it.
struct FreshOptions {
  explicit FreshOptions(const std::map<std::string, double>& overrides = {}) {
    opts.assignValues(OptsTrovik(overrides));
    state.reset();
  }
  ~FreshOptions() {
    opts.assignValues(OptsTrovik());
    state.reset();
  }
};

}  // namespace trovik_host
