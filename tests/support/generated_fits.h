#pragma once
// Curve fits made up for the tests, with least-squares answers certified
// independently of the library: a model y = f(b, t) on a grid of t, data
// from the true parameters moved by uniform noise of size 10^-d max|y|
// (fixed seeds) or printed to a number of significant digits, and the
// least-squares answer of those data found by Gauss-Newton in long double
// (Householder QR on the column-scaled Jacobian) from the true parameters.
// In long double each residual is some 2000 times more exact than in
// double, so the certified answer is the double problem's own to far below
// what a run in double can resolve.
//
// The models are written once for any number type, so the residuals and
// their exact Jacobians (dual numbers) come from the same code in double
// and in long double.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dense/quiet_scope.h"
#include "tests/support/dual_number.h"

namespace generated_fits {

// The model families.
enum class Model {
  Offset,        // b0 + b1 exp(-b2 t): a large constant part, (1e4, 1, 0.5)
  BadlyScaled,   // b1 exp(-b2 t) with parameters of sizes 1e6 and 1e-3
  TwoExponentials,
  PeakOnSlope,   // b0 + b1 t + b2 exp(-((t - b3) / b4)^2)
  Rational,      // (b0 + b1 t) / (1 + b2 t + b3 t^2)
};

struct Shape {
  const char* name;
  std::size_t n, m;
  double t0, dt;  // t_i = t0 + i dt
  std::array<double, 6> truth, start;
};

inline Shape shapeOf(Model model) {
  switch (model) {
    case Model::Offset:
      return {"offset", 3, 40, 0.0, 0.25, {1e4, 1.0, 0.5}, {9999.5, 1.3, 0.4}};
    case Model::BadlyScaled:
      return {"badly-scaled", 2, 40, 50.0, 50.0, {1e6, 1e-3}, {9e5, 1.2e-3}};
    case Model::TwoExponentials:
      return {"two-exponentials", 4, 30, 0.0, 0.05, {0.7, 1.3, 1.6, 4.1}, {0.5, 1.0, 1.8, 3.5}};
    case Model::PeakOnSlope:
      return {"peak-on-slope", 5, 50, 0.0, 0.2, {1.0, 0.1, 5.0, 4.0, 1.5},
              {0.9, 0.12, 4.5, 4.2, 1.3}};
    case Model::Rational:
      return {"rational", 4, 40, 0.0, 0.5, {1.0, 2.0, 0.5, 0.1}, {1.2, 1.8, 0.6, 0.09}};
  }
  std::abort();
}

template <class T>
T modelValue(Model model, const T* b, double t) {
  using std::exp;
  switch (model) {
    case Model::Offset:
      return b[0] + b[1] * exp(-b[2] * t);
    case Model::BadlyScaled:
      return b[0] * exp(-b[1] * t);
    case Model::TwoExponentials:
      return b[0] * exp(-b[1] * t) + b[2] * exp(-b[3] * t);
    case Model::PeakOnSlope: {
      const T z = (t - b[3]) / b[4];
      return b[0] + b[1] * t + b[2] * exp(-(z * z));
    }
    case Model::Rational:
      return (b[0] + b[1] * t) / (1.0 + b[2] * t + b[3] * t * t);
  }
  std::abort();
}

// How the data leave the model: moved by uniform noise of size
// 10^-noiseDigits max|y| (0: not moved) with the seed, then printed to
// `printed` significant digits (0: as computed).
struct DataKind {
  int noiseDigits = 0, printed = 0;
  std::uint64_t seed = 1;
};

// A uniform number in [-1, 1) from a splitmix64 state: the same sequence on
// every machine.
inline double uniformSigned(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
}

struct Fit {
  Model model;
  Shape shape;
  DataKind data;
  std::vector<double> t, y;
  std::vector<double> answer;  // the certified least-squares answer
  long double leastSquares = 0;  // sum of squares there (long double)

  std::string name() const {
    return std::string(shape.name) + (data.printed ? ", printed to " + std::to_string(data.printed)
                                                   : ", noise 1e-" + std::to_string(data.noiseDigits) +
                                                         " seed " + std::to_string(data.seed));
  }
  std::vector<double> start() const {
    return std::vector<double>(shape.start.begin(), shape.start.begin() + shape.n);
  }
  // Far trial points overflow exp: the residuals hand back the infinities
  // without trapping, as a host may.
  template <class T>
  void residuals(const T* b, T* r) const {
    const QuietFpScope quiet;
    for (std::size_t i = 0; i < shape.m; ++i) r[i] = modelValue(model, b, t[i]) - y[i];
  }
};

// Least squares min ||A x - b|| in long double by Householder QR of the
// m x n column-major A (overwritten); x gets n entries. n <= m.
inline void householderSolve(std::vector<long double>& A, std::vector<long double> b,
                             std::size_t m, std::size_t n, std::vector<long double>& x) {
  for (std::size_t k = 0; k < n; ++k) {
    long double norm = 0;
    for (std::size_t i = k; i < m; ++i) norm += A[k * m + i] * A[k * m + i];
    norm = std::sqrt(norm);
    if (norm == 0) continue;
    const long double alpha = A[k * m + k] > 0 ? -norm : norm;
    std::vector<long double> v(m, 0);
    for (std::size_t i = k; i < m; ++i) v[i] = A[k * m + i];
    v[k] -= alpha;
    long double vv = 0;
    for (std::size_t i = k; i < m; ++i) vv += v[i] * v[i];
    const auto reflect = [&](long double* column) {
      long double s = 0;
      for (std::size_t i = k; i < m; ++i) s += v[i] * column[i];
      s = 2 * s / vv;
      for (std::size_t i = k; i < m; ++i) column[i] -= s * v[i];
    };
    for (std::size_t j = k; j < n; ++j) reflect(&A[j * m]);
    reflect(b.data());
  }
  x.assign(n, 0);
  for (std::size_t k = n; k-- > 0;) {
    long double s = b[k];
    for (std::size_t j = k + 1; j < n; ++j) s -= A[j * m + k] * x[j];
    x[k] = A[k * m + k] != 0 ? s / A[k * m + k] : 0;
  }
}

// The data of a kind, and their least-squares answer.
inline Fit makeFit(Model model, DataKind kind) {
  using LD = long double;
  using DL = dual_number::Dual<LD>;
  Fit fit{model, shapeOf(model), kind, {}, {}, {}, 0};
  const std::size_t n = fit.shape.n, m = fit.shape.m;
  std::vector<LD> truth(fit.shape.truth.begin(), fit.shape.truth.begin() + n);
  std::vector<LD> exact(m);
  LD largest = 0;
  for (std::size_t i = 0; i < m; ++i) {
    fit.t.push_back(fit.shape.t0 + fit.shape.dt * static_cast<double>(i));
    exact[i] = modelValue(model, truth.data(), fit.t[i]);
    largest = std::fmax(largest, std::fabs(exact[i]));
  }
  std::uint64_t state = kind.seed;
  for (std::size_t i = 0; i < m; ++i) {
    LD v = exact[i];
    if (kind.noiseDigits > 0)
      v += uniformSigned(state) * std::pow(10.0L, -kind.noiseDigits) * largest;
    double y = static_cast<double>(v);
    if (kind.printed > 0) {
      char text[40];
      std::snprintf(text, sizeof text, "%.*e", kind.printed - 1, y);
      y = std::strtod(text, nullptr);
    }
    fit.y.push_back(y);
  }
  // Gauss-Newton from the truth, on columns scaled to unit length.
  std::vector<LD> b = truth, r(m), J(m * n), step, scale(n);
  std::vector<DL> bd(n), rd(m);
  for (int iteration = 0; iteration < 200; ++iteration) {
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t k = 0; k < n; ++k) bd[k] = DL(b[k], k == j ? 1 : 0);
      fit.residuals(bd.data(), rd.data());
      LD norm = 0;
      for (std::size_t i = 0; i < m; ++i) norm += rd[i].d * rd[i].d;
      scale[j] = norm = std::sqrt(norm);
      for (std::size_t i = 0; i < m; ++i) {
        J[j * m + i] = rd[i].d / norm;
        r[i] = -rd[i].v;
      }
    }
    householderSolve(J, r, m, n, step);
    LD change = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const LD s = step[j] / scale[j];
      b[j] += s;
      change = std::fmax(change, std::fabs(s / b[j]));
    }
    if (change < 1e-19L) break;
  }
  fit.residuals(b.data(), r.data());
  for (std::size_t i = 0; i < m; ++i) fit.leastSquares += r[i] * r[i];
  for (LD v : b) fit.answer.push_back(static_cast<double>(v));
  return fit;
}

}  // namespace generated_fits

namespace generated_fits {

// How far x is from the certified answer, in units of what the data's own
// rounding lets the sum of squares tell apart: (S(x) - S*) over
// 2 sqrt(sum r_i^2 s_i^2) + sum s_i^2 at the answer, s_i = eps (|f(b*, t_i)|
// + |y_i|) the rounding of residual i's terms. Within some 100 of it, no
// run in double can do better by its objective.
inline double excessOverNoise(const Fit& fit, const double* x) {
  using LD = long double;
  const std::size_t m = fit.shape.m;
  std::vector<LD> at(x, x + fit.shape.n), best(fit.answer.begin(), fit.answer.end()), r(m);
  fit.residuals(at.data(), r.data());
  LD sum = 0;
  for (LD v : r) sum += v * v;
  fit.residuals(best.data(), r.data());
  LD weighted = 0, squares = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const LD s = 0x1p-52L * (std::fabs(modelValue(fit.model, best.data(), fit.t[i])) +
                            std::fabs(static_cast<LD>(fit.y[i])));
    weighted += r[i] * r[i] * s * s;
    squares += s * s;
  }
  return static_cast<double>((sum - fit.leastSquares) / (2 * std::sqrt(weighted) + squares));
}

}  // namespace generated_fits
