#pragma once
// A host program's side of zelkcomp_linsolve for tests: a dense row-major
// matrix reached through the context pointer, product callbacks that count
// their calls and can fail on a chosen call, and the reference computations
// the answers are checked against.

#include <cmath>
#include <cstddef>
#include <random>
#include <valarray>
#include <vector>

#include <lapacke.h>

#include "zelk/zelkcomp.h"

namespace linsolve_test {

using Vec = std::valarray<double>;

struct Host {
  long rows = 0, cols = 0;
  std::vector<double> a;  // rows x cols, row-major
  int calls = 0;
  int failOn = 0;  // the one call (1-based) that fails; 0 never
  int failCode = 7;
  int garbageOn = 0;  // the one call (1-based) that answers `garbage` everywhere; 0 never
  double garbage = 1e300;

  Host(long r, long c, std::vector<double> values) : rows(r), cols(c), a(std::move(values)) {}

  double at(long i, long j) const { return a[static_cast<std::size_t>(i * cols + j)]; }

  // y = A x or y = A^T x, in plain loops.
  Vec times(const Vec& x, bool transposed = false) const {
    const long outLen = transposed ? cols : rows, inLen = transposed ? rows : cols;
    Vec y(0.0, static_cast<std::size_t>(outLen));
    for (long i = 0; i < outLen; ++i)
      for (long j = 0; j < inLen; ++j)
        y[static_cast<std::size_t>(i)] +=
            (transposed ? at(j, i) : at(i, j)) * x[static_cast<std::size_t>(j)];
    return y;
  }

  int product(const double* x, long n, double* y, long m, bool transposed) {
    if (++calls == failOn) return failCode;
    const Vec xv(x, static_cast<std::size_t>(n));
    const Vec yv = times(xv, transposed);
    for (long i = 0; i < m; ++i)
      y[i] = calls == garbageOn ? garbage : yv[static_cast<std::size_t>(i)];
    return 0;
  }
};

inline int hostProduct(const double* x, long n, double* y, long m, void* context) {
  return static_cast<Host*>(context)->product(x, n, y, m, false);
}

inline int hostTransposedProduct(const double* x, long n, double* y, long m, void* context) {
  return static_cast<Host*>(context)->product(x, n, y, m, true);
}

// Solves the symmetric positive definite system (A^T A + shift I) x = A^T b
// with LAPACK's Cholesky solver.
inline Vec normalEquationsSolution(const Host& h, const Vec& b, double shift = 0.0) {
  const long n = h.cols;
  std::vector<double> g(static_cast<std::size_t>(n * n));
  for (long i = 0; i < n; ++i)
    for (long j = 0; j < n; ++j) {
      double s = 0.0;
      for (long k = 0; k < h.rows; ++k) s += h.at(k, i) * h.at(k, j);
      g[static_cast<std::size_t>(i * n + j)] = s + (i == j ? shift : 0.0);
    }
  Vec x = h.times(b, true);
  LAPACKE_dposv(LAPACK_ROW_MAJOR, 'U', static_cast<int>(n), 1, g.data(), static_cast<int>(n),
                &x[0], 1);
  return x;
}

inline double maxAbsDiff(const Vec& a, const Vec& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::fmax(d, std::fabs(a[i] - b[i]));
  return d;
}

// The 6 x 6 symmetric positive definite matrix tridiag(-1, 4, -1) plus a
// rank-one term, with eigenvalues spread enough that CG needs every step.
inline Host spdHost() {
  const long n = 6;
  std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
  for (long i = 0; i < n; ++i)
    for (long j = 0; j < n; ++j) {
      double v = 0.1 * static_cast<double>((i + 1) * (j + 1));
      if (i == j) v += 4.0 + static_cast<double>(i);
      if (i == j + 1 || j == i + 1) v -= 1.0;
      a[static_cast<std::size_t>(i * n + j)] = v;
    }
  return Host(n, n, std::move(a));
}

// Deterministic numbers in [-0.5, 0.5) without structure across rows and
// columns.
inline double noise(long i, long j) {
  const double t =
      std::sin(12.9898 * static_cast<double>(i) + 78.233 * static_cast<double>(j)) * 43758.5453;
  return t - std::floor(t) - 0.5;
}

// m x n of noise with column j scaled by 10^(-decades j / (n - 1)): full
// column rank, condition near 10^decades.
inline Host illConditioned(long m, long n, double decades = 4.0) {
  std::vector<double> a(static_cast<std::size_t>(m * n));
  for (long i = 0; i < m; ++i)
    for (long j = 0; j < n; ++j)
      a[static_cast<std::size_t>(i * n + j)] =
          noise(i, j) *
          std::pow(10.0, -decades * static_cast<double>(j) / static_cast<double>(n - 1));
  return Host(m, n, std::move(a));
}

// A = U diag(s) V^T, U (m x n) and V (n x n) with orthonormal columns from
// LAPACK's QR of Gaussian matrices drawn from `seed`: least-squares
// problems with known answers.
struct SvdProblem {
  Vec s;
  Host U, V, h;  // h holds A

  SvdProblem(long m, Vec s_, unsigned seed)
      : s(std::move(s_)), U(orthonormal(m, seed)), V(orthonormal(U.cols, seed + 1)), h(U) {
    for (long i = 0; i < m; ++i)
      for (long j = 0; j < h.cols; ++j) {
        h.a[static_cast<std::size_t>(i * h.cols + j)] = 0.0;
        for (long k = 0; k < h.cols; ++k)
          h.a[static_cast<std::size_t>(i * h.cols + j)] += U.at(i, k) * s[k] * V.at(j, k);
      }
  }
  // The least-norm minimiser of ||A x - b||^2 + shift^2 ||x||^2.
  Vec solution(const Vec& b, double shift = 0.0) const {
    Vec d = s;
    for (double& e : d) e = e == 0.0 ? 0.0 : e / (e * e + shift * shift);
    return V.times(d * U.times(b, true));
  }
  // w less its part in the range of U.
  Vec offRange(const Vec& w) const { return w - U.times(U.times(w, true)); }

 private:
  Host orthonormal(long m, unsigned seed) const {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    const int rows = static_cast<int>(m), cols = static_cast<int>(s.size());
    std::vector<double> q(static_cast<std::size_t>(rows * cols)), tau(s.size());
    for (double& e : q) e = normal(gen);
    LAPACKE_dgeqrf(LAPACK_ROW_MAJOR, rows, cols, q.data(), cols, tau.data());
    LAPACKE_dorgqr(LAPACK_ROW_MAJOR, rows, cols, cols, q.data(), cols, tau.data());
    return Host(m, cols, std::move(q));
  }
};

// A tall 6 x 3 matrix of full column rank.
inline Host tallHost() {
  return Host(6, 3, {1.0, 2.0, 0.5, -1.0, 0.0, 3.0, 2.0, 1.0, 1.0,
                     0.0, -2.0, 1.5, 1.0, 1.0, 1.0, 3.0, -1.0, 0.0});
}

}  // namespace linsolve_test
