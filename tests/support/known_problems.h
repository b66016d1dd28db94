#pragma once
// Minimisation problems with known answers and a host program that hands
// them to `zelk`: C callbacks for the objective, gradient, Hessian and
// Hessian products that count their calls, an output callback that keeps
// every record, and switches that make a callback misbehave. Shared by the
// minimisation tests and the benchmarks.

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

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

// 1/2 sum_i w_i (x_i - c_i)^2, w = (1, 3, 10), c = (1, -2, 0.5).
constexpr double kQuadWeight[3] = {1, 3, 10}, kQuadCenter[3] = {1, -2, 0.5};
inline double quadValue(const double* x) {
  double s = 0.0;
  for (int i = 0; i < 3; ++i) s += kQuadWeight[i] * (x[i] - kQuadCenter[i]) * (x[i] - kQuadCenter[i]);
  return 0.5 * s;
}
inline void quadGradient(const double* x, double* g) {
  for (int i = 0; i < 3; ++i) g[i] = kQuadWeight[i] * (x[i] - kQuadCenter[i]);
}
inline void quadHessian(const double*, double* H) {
  for (int i = 0; i < 9; ++i) H[i] = i % 4 == 0 ? kQuadWeight[i / 4] : 0.0;
}

// f = 1/2 x^T A x - b^T x with b = A x*, A symmetric positive definite.
constexpr double kSpdA[5][5] = {{4, 1, 0, 0.5, 0},
                                {1, 5, 1, 0, 0},
                                {0, 1, 6, 1, 0.3},
                                {0.5, 0, 1, 3, 0},
                                {0, 0, 0.3, 0, 2}};
constexpr double kSpdSolution[5] = {0.1, -0.2, 0.05, 0.3, -0.1};

inline double spdB(int i) {
  double s = 0.0;
  for (int j = 0; j < 5; ++j) s += kSpdA[i][j] * kSpdSolution[j];
  return s;
}
inline double spdValue(const double* x) {
  double f = 0.0;
  for (int i = 0; i < 5; ++i) {
    double ax = 0.0;
    for (int j = 0; j < 5; ++j) ax += kSpdA[i][j] * x[j];
    f += x[i] * (0.5 * ax - spdB(i));
  }
  return f;
}
inline void spdGradient(const double* x, double* g) {
  for (int i = 0; i < 5; ++i) {
    g[i] = -spdB(i);
    for (int j = 0; j < 5; ++j) g[i] += kSpdA[i][j] * x[j];
  }
}
inline void spdHessian(const double*, double* H) {
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) H[i * 5 + j] = kSpdA[i][j];
}

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
  const double rows[4][4] = {{2 + d2, 20, 0, -d2},
                             {20, 200 + c2, -2 * c2, 0},
                             {0, -2 * c2, 10 + 4 * c2, -10},
                             {-d2, 0, -10, 10 + d2}};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) H[i * 4 + j] = rows[i][j];
}

// 1/2 (0.1 x^2 + y^2): one small eigenvalue.
inline double diagValue(const double* x) { return 0.5 * (0.1 * x[0] * x[0] + x[1] * x[1]); }
inline void diagGradient(const double* x, double* g) {
  g[0] = 0.1 * x[0];
  g[1] = x[1];
}
inline void diagHessian(const double*, double* H) {
  H[0] = 0.1;
  H[1] = H[2] = 0.0;
  H[3] = 1.0;
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
  for (int i = 0; i < 9; ++i) H[i] = rows[i];
}

inline const Problem& quadratic() {
  static const Problem p{"quadratic", {0.25, 0.25, 0.25}, {1, -2, 0.5}, quadValue, quadGradient,
                         quadHessian};
  return p;
}
inline const Problem& spd5() {
  static const Problem p{"spd5", {0, 0, 0, 0, 0}, {0.1, -0.2, 0.05, 0.3, -0.1}, spdValue, spdGradient,
                         spdHessian};
  return p;
}
inline const Problem& rosenbrock() {
  static const Problem p{"rosenbrock", {-1.2, 1}, {1, 1}, rosenbrockValue, rosenbrockGradient,
                         rosenbrockHessian};
  return p;
}
inline const Problem& powell() {
  static const Problem p{"powell", {3, -1, 0, 1}, {}, powellValue, powellGradient, powellHessian};
  return p;
}
inline const Problem& diagonal() {
  static const Problem p{"diag", {1, 1}, {0, 0}, diagValue, diagGradient, diagHessian};
  return p;
}
inline const Problem& logarithm() {
  static const Problem p{"xlogx", {0.2}, {1}, logValue, logGradient, logHessian};
  return p;
}
inline const Problem& cubic() {
  static const Problem p{"cubic", {0.7, -1.3, 2.1}, {}, cubicValue, cubicGradient, cubicHessian};
  return p;
}

// Which callbacks the host gives besides the objective.
struct Callbacks {
  bool gradient = true;
  bool hessian = false;
  bool product = false;
  bool output = true;
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
  bool gradientWritesF = true;  // the gradient callback reports f
  bool nanGradient = false;     // g_(n-1) is NaN, also beside H and H V
  bool nanProduct = false;      // the last entry of the product's first row is NaN
  int answer = 0;               // the output callback's answer to iteration records
  int finalAnswer = 0;          // and to the final record
  std::function<void(Host&, const Record&)> onRecord = {};  // inside the output callback
  std::function<void(Host&)> inCallback = {};               // inside every callback

  Counts counts = {};
  std::vector<Record> records = {};

  double value(const double* x) const { return problem->value(x) + offset; }
  long iterations() const {  // iteration records seen
    long k = 0;
    for (const Record& r : records) k += static_cast<long>(r.count("tj"));
    return k;
  }
  std::string lastCode() const {
    return records.empty() || !records.back().count("code") ? "" : records.back().at("code");
  }
};

inline Host& hostOf(void* user) { return *static_cast<Host*>(user); }

inline void enter(Host& h, long& count) {
  ++count;
  if (h.inCallback) h.inCallback(h);
}
inline void fillGradient(const Host& h, const double* x, long n, double* g) {
  h.problem->gradient(x, g);
  g[0] += h.gradientError;
  if (h.nanGradient) g[n - 1] = kNaN;
}

inline int objective(const double* x, long, double* f, long, void* user) {
  Host& h = hostOf(user);
  enter(h, h.counts.objective);
  *f = h.value(x);
  return 0;
}
inline int gradient(const double* x, long n, double* f, long, double* g, void* user) {
  Host& h = hostOf(user);
  enter(h, h.counts.gradient);
  fillGradient(h, x, n, g);
  if (h.gradientWritesF) *f = h.value(x);
  return 0;
}
inline int hessian(const double* x, long n, double*, long, double* g, double* H, void* user) {
  Host& h = hostOf(user);
  enter(h, h.counts.hessian);
  fillGradient(h, x, n, g);
  h.problem->hessian(x, H);
  return 0;
}
inline int product(const double* x, long n, double*, long, const double* V, int k, double* w,
                   double* W, void* user) {
  Host& h = hostOf(user);
  enter(h, h.counts.product);
  fillGradient(h, x, n, w);
  std::vector<double> H(static_cast<std::size_t>(n * n));
  h.problem->hessian(x, H.data());
  for (long i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) {
      double s = 0.0;
      for (long l = 0; l < n; ++l) s += H[i * n + l] * V[l * k + j];
      W[i * k + j] = s;
    }
  if (h.nanProduct) W[k - 1] = kNaN;
  return 0;
}
inline int output(const double*, long, const double*, long, const void*, const void*,
                  const char** keys, const char** values, long count, void* user) {
  Host& h = hostOf(user);
  if (h.inCallback) h.inCallback(h);
  Record& r = h.records.emplace_back();
  for (long i = 0; i < count; ++i) r[keys[i]] = values[i];
  if (h.onRecord) h.onRecord(h, r);
  if (r.count("exit")) return h.finalAnswer;
  return r.count("tj") ? h.answer : 0;
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
  Outcome out;
  out.x.assign(x0.size(), -7.0);
  out.status = zelk(x0.data(), out.x.data(), static_cast<long>(x0.size()), &out.f, 1, objective,
                    cb.gradient ? gradient : nullptr, nullptr, cb.hessian ? hessian : nullptr,
                    cb.product ? product : nullptr, cb.output ? output : nullptr, names.data(),
                    values.data(), static_cast<long>(names.size()), &h);
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
