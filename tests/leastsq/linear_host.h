#pragma once
// A host program for the least-squares tests: residuals r(x) = A x - b of
// a dense A (m x n, row-major), with its Jacobian and both products as C
// callbacks, an iteration callback that keeps every record, and hooks that
// make the callbacks misbehave or look around.

#include <fenv.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <valarray>
#include <vector>

#include "leastsq/trovik_task.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "zelk/trovik.h"

namespace trovik_test {

using Vec = std::valarray<double>;

struct LinearHost {
  std::size_t m = 0, n = 0;
  std::vector<double> A;  // m x n, row-major
  std::vector<double> b;
  // Residuals are NaN at the points where this says so.
  std::function<bool(const double* x)> nanAt;
  std::function<void()> inCallback;  // runs inside every callback

  // What the callbacks saw last.
  std::size_t seenN = 0, seenM = 0;
  long seenCount = -1;
  int seenTraps = -1;
  int calls = 0;
  std::vector<std::vector<std::pair<std::string, std::string>>> records;

  void residualAt(const double* x, double* r) const {
    const bool nan = nanAt && nanAt(x);
    for (std::size_t i = 0; i < m; ++i) {
      double s = -b[i];
      for (std::size_t j = 0; j < n; ++j) s += A[i * n + j] * x[j];
      r[i] = nan ? std::nan("") : s;
    }
  }
  void enter(std::size_t n_, std::size_t m_, long count) {
    ++calls;
    seenN = n_;
    seenM = m_;
    seenCount = count;
    seenTraps = fegetexcept();
    if (inCallback) inCallback();
  }
};

inline LinearHost& of(void* user) { return *static_cast<LinearHost*>(user); }

inline int residualFn(const double* x, std::size_t n, double* r, std::size_t m, void* user) {
  LinearHost& h = of(user);
  h.enter(n, m, 0);
  h.residualAt(x, r);
  return 0;
}

inline int jacobianFn(const double* x, std::size_t n, double* r, std::size_t m, double* J,
                      void* user) {
  LinearHost& h = of(user);
  h.enter(n, m, 0);
  h.residualAt(x, r);
  for (std::size_t i = 0; i < m * n; ++i) J[i] = h.A[i];
  return 0;
}

// count products with A (A^T when transposed), vectors one after the other.
inline void products(const LinearHost& h, bool transposed, const double* in, long count,
                     double* out) {
  const std::size_t inLength = transposed ? h.m : h.n, outLength = transposed ? h.n : h.m;
  for (long k = 0; k < count; ++k)
    for (std::size_t o = 0; o < outLength; ++o) {
      double s = 0.0;
      for (std::size_t i = 0; i < inLength; ++i)
        s += (transposed ? h.A[i * h.n + o] : h.A[o * h.n + i]) * in[k * inLength + i];
      out[k * outLength + o] = s;
    }
}

template <bool Transposed>
int productFn(const double* x, std::size_t n, double* r, std::size_t m, const double* in,
              long count, double* out, void* user) {
  LinearHost& h = of(user);
  h.enter(n, m, count);
  h.residualAt(x, r);
  products(h, Transposed, in, count, out);
  return 0;
}

inline int iterationFn(const double*, std::size_t n, const double*, std::size_t m, const void*,
                       const void*, const char** keys, const char** values, long count,
                       void* user) {
  LinearHost& h = of(user);
  h.enter(n, m, count);
  std::vector<std::pair<std::string, std::string>> record;
  for (long i = 0; i < count; ++i) record.emplace_back(keys[i], values[i]);
  h.records.push_back(std::move(record));
  return 0;
}

// A 6 x 3 host.
inline LinearHost sixByThree() {
  LinearHost h;
  h.m = 6;
  h.n = 3;
  h.A = {2, 1, 0, 1, 3, 1, 0, 1, 4, 1, 0, 1, -1, 2, 1, 3, -1, 2};
  h.b = {1, -2, 0.5, 3, 0, -1};
  return h;
}

inline void connect(TrovikOptimizationTask& task, LinearHost& host) {
  task.residual = residualFn;
  task.jacobian = jacobianFn;
  task.jv = productFn<false>;
  task.vj = productFn<true>;
  task.iteration = iterationFn;
  task.user = &host;
}

// A x, from the host's A.
inline Vec times(const LinearHost& h, const Vec& x) {
  Vec y(0.0, h.m);
  products(h, false, &x[0], 1, &y[0]);
  return y;
}

// Every test starts from the least-squares driver's defaults and a fresh
// run state, and leaves them so.
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

}  // namespace trovik_test
