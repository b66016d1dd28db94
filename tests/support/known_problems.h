#pragma once
// Minimisation problems with known answers (and those of the residual
// collection as sums of squares) and a host program that hands them to
// `zelk`: C callbacks for the objective, gradient, Hessian and
// Hessian products that count their calls, an output callback that keeps
// every record, and switches that make a callback misbehave. Shared by the
// minimisation tests and the benchmarks.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/residual_problems.h"
#include "zelk/zelk.h"

namespace known_problems {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Problem {
  const char* name;
  std::vector<double> start;
  std::vector<double> solution;  // empty when only the least value is known
  double (*value)(const double* x);
  void (*gradient)(const double* x, double* g);
  void (*hessian)(const double* x, double* H);  // n x n, row-major
};

// 1/2 (x - c)^T A (x - c) + f0.
template <std::size_t N>
struct Quadratic {
  double A[N][N], c[N];
  double f0 = 0.0;
};
template <const auto& Q>
double quadraticValue(const double* x) {
  double f = Q.f0;
  for (std::size_t i = 0; i < std::size(Q.c); ++i)
    for (std::size_t j = 0; j < std::size(Q.c); ++j)
      f += 0.5 * Q.A[i][j] * (x[i] - Q.c[i]) * (x[j] - Q.c[j]);
  return f;
}
template <const auto& Q>
void quadraticGradient(const double* x, double* g) {
  for (std::size_t i = 0; i < std::size(Q.c); ++i) {
    g[i] = 0.0;
    for (std::size_t j = 0; j < std::size(Q.c); ++j) g[i] += Q.A[i][j] * (x[j] - Q.c[j]);
  }
}
template <const auto& Q>
void quadraticHessian(const double*, double* H) {
  std::memcpy(H, Q.A, sizeof Q.A);
}
inline constexpr Quadratic<3> kQuad{{{1, 0, 0}, {0, 3, 0}, {0, 0, 10}}, {1, -2, 0.5}};
// Symmetric positive definite; f0 = -1/2 c^T A c makes f = 1/2 x^T A x - (A c)^T x.
inline constexpr Quadratic<5> kSpd{{{4, 1, 0, 0.5, 0},
                                    {1, 5, 1, 0, 0},
                                    {0, 1, 6, 1, 0.3},
                                    {0.5, 0, 1, 3, 0},
                                    {0, 0, 0.3, 0, 2}},
                                   {0.1, -0.2, 0.05, 0.3, -0.1},
                                   -0.271};
// One small eigenvalue.
inline constexpr Quadratic<2> kDiag{{{0.1, 0}, {0, 1}}, {0, 0}};

// Rosenbrock's valley: 100 (y - x^2)^2 + (1 - x)^2.
inline double rosenbrockValue(const double* x) {
  const double a = x[1] - x[0] * x[0], b = 1.0 - x[0];
  return 100.0 * a * a + b * b;
}
inline void rosenbrockGradient(const double* x, double* g) {
  const double a = x[1] - x[0] * x[0];
  g[0] = -400.0 * a * x[0] - 2.0 * (1.0 - x[0]);
  g[1] = 200.0 * a;
}
inline void rosenbrockHessian(const double* x, double* H) {
  H[0] = 1200.0 * x[0] * x[0] - 400.0 * x[1] + 2.0;
  H[1] = H[2] = -400.0 * x[0];
  H[3] = 200.0;
}

// Powell's singular function: (x1 + 10 x2)^2 + 5 (x3 - x4)^2 + (x2 - 2 x3)^4
// + 10 (x1 - x4)^4, least value 0 at the origin, where the Hessian is
// singular.
inline double powellValue(const double* x) {
  const double a = x[0] + 10 * x[1], b = x[2] - x[3], c = x[1] - 2 * x[2], d = x[0] - x[3];
  return a * a + 5 * b * b + c * c * c * c + 10 * d * d * d * d;
}
inline void powellGradient(const double* x, double* g) {
  const double a = x[0] + 10 * x[1], b = x[2] - x[3], c = x[1] - 2 * x[2], d = x[0] - x[3];
  g[0] = 2 * a + 40 * d * d * d;
  g[1] = 20 * a + 4 * c * c * c;
  g[2] = 10 * b - 8 * c * c * c;
  g[3] = -10 * b - 40 * d * d * d;
}
inline void powellHessian(const double* x, double* H) {
  const double c2 = 12 * (x[1] - 2 * x[2]) * (x[1] - 2 * x[2]);
  const double d2 = 120 * (x[0] - x[3]) * (x[0] - x[3]);
  const double rows[16] = {2 + d2, 20,       0,           -d2,  // one row per line
                           20,     200 + c2, -2 * c2,     0,
                           0,      -2 * c2,  10 + 4 * c2, -10,
                           -d2,    0,        -10,         10 + d2};
  std::copy(rows, rows + 16, H);
}

// x - log x, least value 1 at x = 1; NaN for x <= 0 (computed without
// raising an exception).
inline double logValue(const double* x) { return x[0] > 0 ? x[0] - std::log(x[0]) : kNaN; }
inline void logGradient(const double* x, double* g) { g[0] = x[0] > 0 ? 1.0 - 1.0 / x[0] : kNaN; }
inline void logHessian(const double* x, double* H) { H[0] = x[0] > 0 ? 1.0 / (x[0] * x[0]) : kNaN; }

// x0^3 + 2 x0 x1^2 - x2^3 / 3 + x1 x2: no minimum, a Hessian that varies.
inline double cubicValue(const double* x) {
  return x[0] * x[0] * x[0] + 2 * x[0] * x[1] * x[1] - x[2] * x[2] * x[2] / 3 + x[1] * x[2];
}
inline void cubicGradient(const double* x, double* g) {
  g[0] = 3 * x[0] * x[0] + 2 * x[1] * x[1];
  g[1] = 4 * x[0] * x[1] + x[2];
  g[2] = -x[2] * x[2] + x[1];
}
inline void cubicHessian(const double* x, double* H) {
  const double rows[9] = {6 * x[0], 4 * x[1], 0, 4 * x[1], 4 * x[0], 1, 0, 1, -2 * x[2]};
  std::copy(rows, rows + 9, H);
}

// Beale: the sum over i = 1..3 of (y_i - x1 (1 - x2^i))^2, y = (1.5, 2.25,
// 2.625); least value 0 at (3, 0.5).
inline double bealeValue(const double* x) {
  static constexpr double y[3] = {1.5, 2.25, 2.625};
  double f = 0.0, p = x[1];
  for (double yi : y) {
    const double r = yi - x[0] * (1.0 - p);
    f += r * r;
    p *= x[1];
  }
  return f;
}
inline void bealeGradient(const double* x, double* g) {
  static constexpr double y[3] = {1.5, 2.25, 2.625};
  g[0] = g[1] = 0.0;
  for (int i = 1; i <= 3; ++i) {
    const double p = std::pow(x[1], i), r = y[i - 1] - x[0] * (1.0 - p);
    g[0] += 2.0 * r * (p - 1.0);
    g[1] += 2.0 * r * i * x[0] * std::pow(x[1], i - 1);
  }
}
inline void bealeHessian(const double* x, double* H) {
  static constexpr double y[3] = {1.5, 2.25, 2.625};
  std::fill(H, H + 4, 0.0);
  for (int i = 1; i <= 3; ++i) {
    const double p = std::pow(x[1], i), q = std::pow(x[1], i - 1);
    const double r = y[i - 1] - x[0] * (1.0 - p), a = p - 1.0, b = i * x[0] * q;
    H[0] += 2.0 * a * a;
    H[1] += 2.0 * (a * b + r * i * q);
    H[3] += 2.0 * (b * b + r * i * (i - 1) * x[0] * (i > 1 ? std::pow(x[1], i - 2) : 0.0));
  }
  H[2] = H[1];
}

// Wood: 100 (x2 - x1^2)^2 + (1 - x1)^2 + 90 (x4 - x3^2)^2 + (1 - x3)^2
// + 10 (x2 + x4 - 2)^2 + 0.1 (x2 - x4)^2; least value 0 at (1, 1, 1, 1), a
// saddle point near f = 7.87.
inline double woodValue(const double* x) {
  const double a = x[1] - x[0] * x[0], b = 1.0 - x[0], c = x[3] - x[2] * x[2], d = 1.0 - x[2];
  const double e = x[1] + x[3] - 2.0, h = x[1] - x[3];
  return 100.0 * a * a + b * b + 90.0 * c * c + d * d + 10.0 * e * e + 0.1 * h * h;
}
inline void woodGradient(const double* x, double* g) {
  const double a = x[1] - x[0] * x[0], c = x[3] - x[2] * x[2];
  const double e = x[1] + x[3] - 2.0, h = x[1] - x[3];
  g[0] = -400.0 * x[0] * a - 2.0 * (1.0 - x[0]);
  g[1] = 200.0 * a + 20.0 * e + 0.2 * h;
  g[2] = -360.0 * x[2] * c - 2.0 * (1.0 - x[2]);
  g[3] = 180.0 * c + 20.0 * e - 0.2 * h;
}
inline void woodHessian(const double* x, double* H) {
  const double rows[16] = {1200.0 * x[0] * x[0] - 400.0 * x[1] + 2.0, -400.0 * x[0], 0.0, 0.0,
                           -400.0 * x[0], 220.2, 0.0, 19.8,
                           0.0, 0.0, 1080.0 * x[2] * x[2] - 360.0 * x[3] + 2.0, -360.0 * x[2],
                           0.0, 19.8, -360.0 * x[2], 200.2};
  std::copy(rows, rows + 16, H);
}

// Freudenstein and Roth: r1^2 + r2^2 with r1 = -13 + x1 + ((5 - x2) x2 - 2) x2
// and r2 = -29 + x1 + ((x2 + 1) x2 - 14) x2; root (5, 4), and a local
// minimum 48.9842 near (11.41, -0.8968).
inline void freudensteinRothResiduals(const double* x, double& r1, double& r2) {
  r1 = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
  r2 = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
}
inline double freudensteinRothValue(const double* x) {
  double r1, r2;
  freudensteinRothResiduals(x, r1, r2);
  return r1 * r1 + r2 * r2;
}
inline void freudensteinRothGradient(const double* x, double* g) {
  double r1, r2;
  freudensteinRothResiduals(x, r1, r2);
  g[0] = 2.0 * (r1 + r2);
  g[1] = 2.0 * (r1 * (-3.0 * x[1] * x[1] + 10.0 * x[1] - 2.0) +
                r2 * (3.0 * x[1] * x[1] + 2.0 * x[1] - 14.0));
}

// The trigonometric function of n variables: the sum of f_i^2,
// f_i = n - sum_j cos x_j + i (1 - cos x_i) - sin x_i (i = 1..n); least
// value 0, and for n = 10 a local minimum 2.79506e-5.
template <int N>
void trigonometricResiduals(const double* x, double* f) {
  double cosines = 0.0;
  for (int j = 0; j < N; ++j) cosines += std::cos(x[j]);
  for (int i = 0; i < N; ++i) f[i] = N - cosines + (i + 1) * (1.0 - std::cos(x[i])) - std::sin(x[i]);
}
template <int N>
double trigonometricValue(const double* x) {
  double f[N], s = 0.0;
  trigonometricResiduals<N>(x, f);
  for (double v : f) s += v * v;
  return s;
}
template <int N>
void trigonometricGradient(const double* x, double* g) {
  double f[N], sum = 0.0;
  trigonometricResiduals<N>(x, f);
  for (double v : f) sum += v;
  for (int j = 0; j < N; ++j)
    g[j] = 2.0 * std::sin(x[j]) * sum + 2.0 * f[j] * ((j + 1) * std::sin(x[j]) - std::cos(x[j]));
}

// 1/2 (x - c)^T A (x - c) + 1 in 10 variables, A = Q diag(lambda) Q^T with
// lambda_i = 10^(2 i / 3 - 3) (1e-3 to 1e3) and Q = I - 2 v v^T / v.v,
// v_i = sin(1 + 2 i), so that no axis is an eigenvector; c_i = cos(0.3 i).
struct IllConditionedQuadratic {
  static constexpr int n = 10;
  double A[n][n], c[n];
  IllConditionedQuadratic() {
    double v[n], vv = 0.0;
    for (int i = 0; i < n; ++i) {
      v[i] = std::sin(1.0 + 2.0 * i);
      vv += v[i] * v[i];
      c[i] = std::cos(0.3 * i);
    }
    double Q[n][n];
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) Q[i][j] = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / vv;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        A[i][j] = 0.0;
        for (int k = 0; k < n; ++k)
          A[i][j] += Q[i][k] * std::pow(10.0, 2.0 * k / 3.0 - 3.0) * Q[j][k];
      }
  }
  static const IllConditionedQuadratic& get() {
    static const IllConditionedQuadratic q;
    return q;
  }
};
inline double illConditionedValue(const double* x) {
  const IllConditionedQuadratic& q = IllConditionedQuadratic::get();
  double f = 1.0;
  for (int i = 0; i < q.n; ++i)
    for (int j = 0; j < q.n; ++j) f += 0.5 * q.A[i][j] * (x[i] - q.c[i]) * (x[j] - q.c[j]);
  return f;
}
inline void illConditionedGradient(const double* x, double* g) {
  const IllConditionedQuadratic& q = IllConditionedQuadratic::get();
  for (int i = 0; i < q.n; ++i) {
    g[i] = 0.0;
    for (int j = 0; j < q.n; ++j) g[i] += q.A[i][j] * (x[j] - q.c[j]);
  }
}
inline void illConditionedHessian(const double*, double* H) {
  std::memcpy(H, IllConditionedQuadratic::get().A, sizeof IllConditionedQuadratic::get().A);
}

template <const auto& Q>
Problem quadraticProblem(const char* name, std::vector<double> start) {
  return {name, std::move(start), {std::begin(Q.c), std::end(Q.c)}, quadraticValue<Q>,
          quadraticGradient<Q>, quadraticHessian<Q>};
}
inline const Problem kQuadratic = quadraticProblem<kQuad>("quadratic", {0.25, 0.25, 0.25});
inline const Problem kSpd5 = quadraticProblem<kSpd>("spd5", {0, 0, 0, 0, 0});
inline const Problem kDiagonal = quadraticProblem<kDiag>("diag", {1, 1});
inline const Problem kRosenbrock{"rosenbrock",      {-1.2, 1},          {1, 1},
                                 rosenbrockValue,   rosenbrockGradient, rosenbrockHessian};
inline const Problem kPowell{"powell",    {3, -1, 0, 1},  {},
                             powellValue, powellGradient, powellHessian};
inline const Problem kLogarithm{"xlogx", {0.2}, {1}, logValue, logGradient, logHessian};
inline const Problem kCubic{"cubic", {0.7, -1.3, 2.1}, {}, cubicValue, cubicGradient, cubicHessian};

inline const Problem kBeale{"beale", {1, 1}, {3, 0.5}, bealeValue, bealeGradient, bealeHessian};
inline const Problem kWood{"wood",    {-3, -1, -3, -1}, {1, 1, 1, 1},
                           woodValue, woodGradient,     woodHessian};
inline const Problem kFreudensteinRoth{"freudenstein-roth",   {0.5, -2}, {5, 4},
                                       freudensteinRothValue, freudensteinRothGradient, nullptr};
inline const Problem kTrigonometric{"trigonometric", std::vector<double>(10, 0.1), {},
                                    trigonometricValue<10>, trigonometricGradient<10>, nullptr};

inline const Problem kIllConditioned{"ill-conditioned quadratic",
                                    std::vector<double>(10, 0.0),
                                    {std::begin(IllConditionedQuadratic::get().c),
                                     std::end(IllConditionedQuadratic::get().c)},
                                    illConditionedValue,
                                    illConditionedGradient,
                                    illConditionedHessian};

// f = sum r_i^2 of a problem of the residual collection, its gradient and
// Hessian exact, with the problem's answer when it gives one.
template <class P>
Problem sumOfSquaresProblem() {
  std::vector<double> solution;
  if constexpr (requires { P::solution(); }) solution = P::solution();
  return {P::name,
          P::start(),
          std::move(solution),
          residual_problems::sumOfSquares<P>,
          residual_problems::sumOfSquaresGradient<P>,
          residual_problems::sumOfSquaresHessian<P>};
}

inline const Problem& quadratic() { return kQuadratic; }
inline const Problem& spd5() { return kSpd5; }
inline const Problem& diagonal() { return kDiagonal; }
inline const Problem& rosenbrock() { return kRosenbrock; }
inline const Problem& powell() { return kPowell; }
inline const Problem& logarithm() { return kLogarithm; }
inline const Problem& cubic() { return kCubic; }
inline const Problem& beale() { return kBeale; }
inline const Problem& wood() { return kWood; }
inline const Problem& freudensteinRoth() { return kFreudensteinRoth; }
inline const Problem& trigonometric() { return kTrigonometric; }
inline const Problem& illConditioned() { return kIllConditioned; }

// Which callbacks the host gives besides the objective.
struct Callbacks {
  bool gradient = true, hessian = false, product = false;
};

struct Counts {
  long objective = 0, gradient = 0, hessian = 0, product = 0;
};

using Record = std::map<std::string, std::string>;
using Options = std::vector<std::pair<std::string, double>>;

struct Host {
  const Problem* problem = &quadratic();
  double offset = 0.0;          // added to every objective value
  double gradientError = 0.0;   // added to g_0
  double gradientScale = 1.0;   // multiplies g, also beside H and H V
  bool gradientWritesF = true;  // the gradient callback reports f
  bool nanGradient = false;     // g_(n-1) is NaN, also beside H and H V
  bool nanProduct = false;      // the last entry of the product's first row is NaN
  int answer = 0;               // the output callback's answer to iteration records
  int finalAnswer = 0;          // and to the final record
  std::function<void(Host&, const Record&)> onRecord = {};  // inside the output callback
  std::function<void(Host&)> inCallback = {};               // inside every callback
  // Mistakes of the derivative callbacks: on the gradient every callback
  // hands back (g, and w of the products), on the Hessian callback's H
  // (n x n, row-major), on the first column of the product callback's W.
  std::function<void(double* g, long n)> alterGradient = {};
  std::function<void(double* H, long n)> alterHessian = {};
  std::function<void(double* W, long n)> alterProduct = {};

  Counts counts = {};
  std::vector<Record> records = {};

  double value(const double* x) const { return problem->value(x) + offset; }
  long iterations() const {  // iteration records seen
    return std::count_if(records.begin(), records.end(),
                         [](const Record& r) { return r.count("tj") > 0; });
  }
  std::string lastCode() const {
    return records.empty() || !records.back().count("code") ? "" : records.back().at("code");
  }
};

// The host of a callback, its call counted.
inline Host& enter(void* user, long Counts::*count) {
  Host& h = *static_cast<Host*>(user);
  if (count) ++(h.counts.*count);
  if (h.inCallback) h.inCallback(h);
  return h;
}
inline void fillGradient(const Host& h, const double* x, long n, double* g) {
  h.problem->gradient(x, g);
  for (long i = 0; i < n; ++i) g[i] *= h.gradientScale;
  g[0] += h.gradientError;
  if (h.alterGradient) h.alterGradient(g, n);
  if (h.nanGradient) g[n - 1] = kNaN;
}

inline int objective(const double* x, long, double* f, long, void* user) {
  Host& h = enter(user, &Counts::objective);
  *f = h.value(x);
  return 0;
}
inline int gradient(const double* x, long n, double* f, long, double* g, void* user) {
  Host& h = enter(user, &Counts::gradient);
  fillGradient(h, x, n, g);
  if (h.gradientWritesF) *f = h.value(x);
  return 0;
}
inline int hessian(const double* x, long n, double*, long, double* g, double* H, void* user) {
  Host& h = enter(user, &Counts::hessian);
  fillGradient(h, x, n, g);
  h.problem->hessian(x, H);
  if (h.alterHessian) h.alterHessian(H, n);
  return 0;
}
inline int product(const double* x, long n, double*, long, const double* V, int k, double* w,
                   double* W, void* user) {
  Host& h = enter(user, &Counts::product);
  fillGradient(h, x, n, w);
  std::vector<double> H(static_cast<std::size_t>(n * n));
  h.problem->hessian(x, H.data());
  for (long i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) {
      double s = 0.0;
      for (long l = 0; l < n; ++l) s += H[i * n + l] * V[l * k + j];
      W[i * k + j] = s;
    }
  if (h.alterProduct && k == 1) h.alterProduct(W, n);
  if (h.nanProduct) W[k - 1] = kNaN;
  return 0;
}
inline int output(const double*, long, const double*, long, const void*, const void*,
                  const char** keys, const char** values, long count, void* user) {
  Host& h = enter(user, nullptr);
  Record& r = h.records.emplace_back();
  for (long i = 0; i < count; ++i) r[keys[i]] = values[i];
  if (h.onRecord) h.onRecord(h, r);
  return r.count("exit") ? h.finalAnswer : r.count("tj") ? h.answer : 0;
}

struct Outcome {
  int status = -100;
  std::vector<double> x;
  double f = -1.0;
};

// Runs zelk from x0 (the problem's start when empty).
inline Outcome run(Host& h, std::vector<double> x0 = {}, const Options& options = {},
                   Callbacks cb = {}) {
  if (x0.empty()) x0 = h.problem->start;
  std::vector<const char*> names;
  std::vector<double> values;
  for (const auto& [name, v] : options) {
    names.push_back(name.c_str());
    values.push_back(v);
  }
  Outcome out{.x = std::vector<double>(x0.size(), -7.0)};
  out.status = zelk(x0.data(), out.x.data(), static_cast<long>(x0.size()), &out.f, 1, objective,
                    cb.gradient ? gradient : nullptr, nullptr, cb.hessian ? hessian : nullptr,
                    cb.product ? product : nullptr, output, names.data(), values.data(),
                    static_cast<long>(names.size()), &h);
  return out;
}

// max_i |x_i - solution_i|.
inline double distance(const std::vector<double>& x, const std::vector<double>& solution) {
  double d = 0.0;
  for (std::size_t i = 0; i < x.size() && i < solution.size(); ++i)
    d = std::fmax(d, std::fabs(x[i] - solution[i]));
  return d;
}

}  // namespace known_problems
