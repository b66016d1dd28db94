#pragma once
// A host program for `trovik` runs: a residual function r(x) with its
// Jacobian given as C callbacks (the Jacobian and both products, each of
// them writing r(x) into their residual argument, as the derivative checks
// expect), an iteration callback that keeps every record, call counts, and
// switches that make a callback misbehave. Known test problems with their
// answers are at the end.

#include <cmath>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dense/quiet_scope.h"
#include "zelk/trovik.h"

namespace trovik_host {

using Record = std::map<std::string, std::string>;
using Options = std::vector<std::pair<std::string, double>>;
using Values = std::vector<double>;

struct Problem {
  std::string name;
  std::size_t n = 0, m = 0;
  std::function<void(const double* x, double* r)> residual;
  std::function<void(const double* x, double* J)> jacobian;  // m x n, row-major
  Values start;
};

struct Host {
  explicit Host(Problem p) : problem(std::move(p)) {}

  Problem problem;
  bool writeResiduals = true;                          // the Jacobian callback writes r(x)
  double jacobianError = 0.0;                          // added to J(0, 0)
  std::function<void(Host&, const Record&)> onRecord;  // inside the iteration callback

  std::vector<Record> records;
  int residualCalls = 0, jacobianCalls = 0, productCalls = 0;
};

inline Host& of(void* user) { return *static_cast<Host*>(user); }

inline int residualFn(const double* x, std::size_t, double* r, std::size_t, void* user) {
  Host& h = of(user);
  ++h.residualCalls;
  h.problem.residual(x, r);
  return 0;
}

inline void jacobianAt(Host& h, const double* x, double* r, double* J) {
  if (h.writeResiduals) h.problem.residual(x, r);
  h.problem.jacobian(x, J);
  J[0] += h.jacobianError;
}

inline int jacobianFn(const double* x, std::size_t, double* r, std::size_t, double* J, void* user) {
  Host& h = of(user);
  ++h.jacobianCalls;
  jacobianAt(h, x, r, J);
  return 0;
}

// count products with J (J^T when transposed), vectors one after the other.
template <bool Transposed>
int productFn(const double* x, std::size_t n, double* r, std::size_t m, const double* in,
              long count, double* out, void* user) {
  Host& h = of(user);
  ++h.productCalls;
  std::vector<double> J(m * n);
  jacobianAt(h, x, r, J.data());
  const std::size_t inLength = Transposed ? m : n, outLength = Transposed ? n : m;
  for (long k = 0; k < count; ++k)
    for (std::size_t o = 0; o < outLength; ++o) {
      double s = 0.0;
      for (std::size_t i = 0; i < inLength; ++i)
        s += (Transposed ? J[i * n + o] : J[o * n + i]) * in[k * inLength + i];
      out[k * outLength + o] = s;
    }
  return 0;
}

inline int iterationFn(const double*, std::size_t, const double*, std::size_t, const void*,
                       const void*, const char** keys, const char** values, long count,
                       void* user) {
  Host& h = of(user);
  Record record;
  for (long i = 0; i < count; ++i) record[keys[i]] = values[i];
  h.records.push_back(record);
  if (h.onRecord) h.onRecord(h, h.records.back());
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
  Outcome out;
  out.x.assign(h.problem.n, std::nan(""));
  out.r.assign(h.problem.m, std::nan(""));
  out.status =
      trovik(h.problem.start.data(), out.x.data(), h.problem.n, out.r.data(), h.problem.m,
             residualFn, jacobian ? jacobianFn : nullptr, products ? productFn<false> : nullptr,
             products ? productFn<true> : nullptr, nullptr, iterationFn, names.data(),
             values.data(), static_cast<long>(names.size()), &h);
  return out;
}

inline Values residualsAt(const Problem& p, const Values& x) {
  Values r(p.m);
  p.residual(x.data(), r.data());
  return r;
}

inline double sumOfSquares(const Values& r) {
  double s = 0.0;
  for (double v : r) s += v * v;
  return s;
}

// The records that carry a key, in order (iteration records carry "tj").
inline std::vector<Record> withKey(const Host& h, const std::string& key) {
  std::vector<Record> out;
  for (const Record& r : h.records)
    if (r.count(key)) out.push_back(r);
  return out;
}

// --- Known problems ---------------------------------------------------------

// r = A x - b for a 30 x n A with entries of both signs.
inline Problem linearProblemOf(std::size_t n) {
  Problem p{"linear", n, 30, nullptr, nullptr, Values(n, 0.0)};
  auto a = [n](std::size_t i, std::size_t j) {
    return std::sin(1.0 + 3.0 * static_cast<double>(i) + 7.0 * static_cast<double>(j)) +
           (i % n == j ? 2.0 : 0.0);
  };
  auto b = [](std::size_t i) { return std::cos(0.5 * static_cast<double>(i)); };
  p.residual = [a, b, n](const double* x, double* r) {
    for (std::size_t i = 0; i < 30; ++i) {
      r[i] = -b(i);
      for (std::size_t j = 0; j < n; ++j) r[i] += a(i, j) * x[j];
    }
  };
  p.jacobian = [a, n](const double*, double* J) {
    for (std::size_t i = 0; i < 30; ++i)
      for (std::size_t j = 0; j < n; ++j) J[i * n + j] = a(i, j);
  };
  return p;
}

inline Problem linearProblem() { return linearProblemOf(4); }

// Rosenbrock: r = (10 (x2 - x1^2), 1 - x1), root (1, 1).
inline Problem rosenbrock() {
  Problem p{"rosenbrock", 2, 2, nullptr, nullptr, {-1.2, 1.0}};
  p.residual = [](const double* x, double* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
  };
  p.jacobian = [](const double* x, double* J) {
    J[0] = -20.0 * x[0];
    J[1] = 10.0;
    J[2] = -1.0;
    J[3] = 0.0;
  };
  return p;
}

// Powell's singular function: root 0, where J is singular.
inline Problem powellSingular() {
  Problem p{"powell", 4, 4, nullptr, nullptr, {3.0, -1.0, 0.0, 1.0}};
  const double s5 = std::sqrt(5.0), s10 = std::sqrt(10.0);
  p.residual = [s5, s10](const double* x, double* r) {
    r[0] = x[0] + 10.0 * x[1];
    r[1] = s5 * (x[2] - x[3]);
    r[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
    r[3] = s10 * (x[0] - x[3]) * (x[0] - x[3]);
  };
  p.jacobian = [s5, s10](const double* x, double* J) {
    const double a = x[1] - 2.0 * x[2], b = x[0] - x[3];
    const double rows[16] = {1, 10,    0,      0, 0,           0, s5, -s5,
                             0, 2 * a, -4 * a, 0, 2 * s10 * b, 0, 0,  -2 * s10 * b};
    for (int i = 0; i < 16; ++i) J[i] = rows[i];
  };
  return p;
}

// Freudenstein and Roth: root (5, 4), and a local minimum with sum of
// squares 48.9842 near (11.41, -0.8968).
inline Problem freudensteinRoth() {
  Problem p{"freudenstein-roth", 2, 2, nullptr, nullptr, {0.5, -2.0}};
  p.residual = [](const double* x, double* r) {
    r[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
    r[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
  };
  p.jacobian = [](const double* x, double* J) {
    J[0] = 1.0;
    J[1] = 10.0 * x[1] - 3.0 * x[1] * x[1] - 2.0;
    J[2] = 1.0;
    J[3] = 3.0 * x[1] * x[1] + 2.0 * x[1] - 14.0;
  };
  return p;
}

// Bard: 15 residuals in 3 variables, least sum of squares 8.21487e-3.
inline Problem bard() {
  Problem p{"bard", 3, 15, nullptr, nullptr, {1.0, 1.0, 1.0}};
  static const double y[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                               0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
  p.residual = [](const double* x, double* r) {
    for (int i = 0; i < 15; ++i) {
      const double u = i + 1, v = 15 - i, w = std::fmin(u, v);
      r[i] = y[i] - (x[0] + u / (v * x[1] + w * x[2]));
    }
  };
  p.jacobian = [](const double* x, double* J) {
    for (int i = 0; i < 15; ++i) {
      const double u = i + 1, v = 15 - i, w = std::fmin(u, v);
      const double q = v * x[1] + w * x[2];
      J[i * 3 + 0] = -1.0;
      J[i * 3 + 1] = u * v / (q * q);
      J[i * 3 + 2] = u * w / (q * q);
    }
  };
  return p;
}

// Meyer: 16 residuals in 3 variables with values of the order 1e4; least
// sum of squares 87.9458 near (0.0056096, 6181.35, 345.224). Hard from the
// standard start: the valley is long and curved, and J is badly scaled.
// Far trial points overflow exp: the host computes without trapping there,
// as a host may, and hands back the infinities.
inline Problem meyer() {
  Problem p{"meyer", 3, 16, nullptr, nullptr, {0.02, 4000.0, 250.0}};
  static const double y[16] = {34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
                               8261,  7030,  6005,  5147,  4427,  3820,  3307,  2872};
  p.residual = [](const double* x, double* r) {
    const QuietFpScope quiet;
    for (int i = 0; i < 16; ++i) {
      const double t = 45.0 + 5.0 * (i + 1);
      r[i] = x[0] * std::exp(x[1] / (t + x[2])) - y[i];
    }
  };
  p.jacobian = [](const double* x, double* J) {
    const QuietFpScope quiet;
    for (int i = 0; i < 16; ++i) {
      const double t = 45.0 + 5.0 * (i + 1), q = t + x[2], e = std::exp(x[1] / q);
      J[i * 3 + 0] = e;
      J[i * 3 + 1] = x[0] * e / q;
      J[i * 3 + 2] = -x[0] * e * x[1] / (q * q);
    }
  };
  return p;
}

// A linear system with a known root, r = A (x - c): with start c the run
// starts at its solution.
inline Problem zeroResidualAtStart() {
  Problem p{"at-root", 3, 3, nullptr, nullptr, {1.0, -2.0, 0.5}};
  static const double A[9] = {4, 1, 0, 1, 3, 1, 0, 1, 2};
  static const double c[3] = {1.0, -2.0, 0.5};
  p.residual = [](const double* x, double* r) {
    for (int i = 0; i < 3; ++i) {
      r[i] = 0.0;
      for (int j = 0; j < 3; ++j) r[i] += A[i * 3 + j] * (x[j] - c[j]);
    }
  };
  p.jacobian = [](const double*, double* J) {
    for (int i = 0; i < 9; ++i) J[i] = A[i];
  };
  return p;
}

// More variables than residuals: r = (x1 + x2 - 1, x2 x3 - 2).
inline Problem wide() {
  Problem p{"wide", 3, 2, nullptr, nullptr, {0.5, 0.5, 0.5}};
  p.residual = [](const double* x, double* r) {
    r[0] = x[0] + x[1] - 1.0;
    r[1] = x[1] * x[2] - 2.0;
  };
  p.jacobian = [](const double* x, double* J) {
    const double rows[6] = {1, 1, 0, 0, x[2], x[1]};
    for (int i = 0; i < 6; ++i) J[i] = rows[i];
  };
  return p;
}

// Residuals that ignore x3: the Jacobian's last column is zero.
inline Problem ignoredVariable() {
  Problem p{"ignored-variable", 3, 3, nullptr, nullptr, {2.0, 2.0, 7.0}};
  p.residual = [](const double* x, double* r) {
    r[0] = x[0] - 1.0;
    r[1] = x[1] * x[1] - 4.0 * x[0];
    r[2] = x[0] + x[1] - 3.0;
  };
  p.jacobian = [](const double* x, double* J) {
    const double rows[9] = {1, 0, 0, -4, 2 * x[1], 0, 1, 1, 0};
    for (int i = 0; i < 9; ++i) J[i] = rows[i];
  };
  return p;
}

}  // namespace trovik_host
