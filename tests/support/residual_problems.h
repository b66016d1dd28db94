#pragma once
// Residual problems r(x) from the classic collections of nonlinear least
// squares and unconstrained minimisation test functions, with their
// standard starts, and a rational model whose seven parameters span seven
// orders of magnitude. Each is written once for any number type (double or
// the dual numbers of dual_number.h), so that the least-squares tests take
// exact Jacobians from it and the minimisation tests f = sum r_i^2 with its
// exact gradient and Hessian (sumOfSquares and friends below).
//
// The residuals run in a QuietFpScope: far from the start a host's
// function may overflow, and these hand back the infinities without
// trapping, as a host may.

#include <cmath>
#include <cstddef>
#include <numbers>
#include <type_traits>
#include <vector>

#include "dense/quiet_scope.h"
#include "tests/support/dual_number.h"

namespace residual_problems {

using std::abs, std::atan, std::cos, std::exp, std::log, std::sin, std::sqrt;

// Rosenbrock's valley.
struct Rosenbrock {
  static constexpr const char* name = "rosenbrock";
  static constexpr std::size_t n = 2, m = 2;
  static std::vector<double> start() { return {-1.2, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
  }
};

struct FreudensteinRoth {
  static constexpr const char* name = "freudenstein-roth";
  static constexpr std::size_t n = 2, m = 2;
  static std::vector<double> start() { return {0.5, -2.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = -13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1];
    r[1] = -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1];
  }
};

struct PowellBadlyScaled {
  static constexpr const char* name = "powell-badly-scaled";
  static constexpr std::size_t n = 2, m = 2;
  static std::vector<double> start() { return {0.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = 1e4 * x[0] * x[1] - 1.0;
    r[1] = exp(-x[0]) + exp(-x[1]) - 1.0001;
  }
};

// Least value 0 at (1e6, 2e-6): the variables differ by twelve orders of
// magnitude there, and f is about 1e12 at the start.
struct BrownBadlyScaled {
  static constexpr const char* name = "brown-badly-scaled";
  static constexpr std::size_t n = 2, m = 3;
  static std::vector<double> start() { return {1.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = x[0] - 1e6;
    r[1] = x[1] - 2e-6;
    r[2] = x[0] * x[1] - 2.0;
  }
};

struct Beale {
  static constexpr const char* name = "beale";
  static constexpr std::size_t n = 2, m = 3;
  static std::vector<double> start() { return {1.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[3] = {1.5, 2.25, 2.625};
    T power = x[1];
    for (int i = 0; i < 3; ++i) {
      r[i] = y[i] - x[0] * (1.0 - power);
      power = power * x[1];
    }
  }
};

struct HelicalValley {
  static constexpr const char* name = "helical-valley";
  static constexpr std::size_t n = 3, m = 3;
  static std::vector<double> start() { return {-1.0, 0.0, 0.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    const T theta = atan(x[1] / x[0]) / (2.0 * std::numbers::pi) + (x[0] < 0.0 ? 0.5 : 0.0);
    r[0] = 10.0 * (x[2] - 10.0 * theta);
    r[1] = 10.0 * (sqrt(x[0] * x[0] + x[1] * x[1]) - 1.0);
    r[2] = x[2];
  }
};

struct Bard {
  static constexpr const char* name = "bard";
  static constexpr std::size_t n = 3, m = 15;
  static std::vector<double> start() { return {1.0, 1.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39,
                                 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
    for (int i = 0; i < 15; ++i) {
      const double u = i + 1, v = 15 - i, w = std::fmin(u, v);
      r[i] = y[i] - (x[0] + u / (v * x[1] + w * x[2]));
    }
  }
};

struct Gaussian {
  static constexpr const char* name = "gaussian";
  static constexpr std::size_t n = 3, m = 15;
  static std::vector<double> start() { return {0.4, 1.0, 0.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[15] = {0.0009, 0.0044, 0.0175, 0.0540, 0.1295, 0.2420, 0.3521, 0.3989,
                                 0.3521, 0.2420, 0.1295, 0.0540, 0.0175, 0.0044, 0.0009};
    for (int i = 0; i < 15; ++i) {
      const T d = (7.0 - i) / 2.0 - x[2];
      r[i] = x[0] * exp(-x[1] * d * d / 2.0) - y[i];
    }
  }
};

struct Meyer {
  static constexpr const char* name = "meyer";
  static constexpr std::size_t n = 3, m = 16;
  static std::vector<double> start() { return {0.02, 4000.0, 250.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[16] = {34780, 28610, 23650, 19630, 16370, 13720, 11540, 9744,
                                 8261,  7030,  6005,  5147,  4427,  3820,  3307,  2872};
    for (int i = 0; i < 16; ++i) r[i] = x[0] * exp(x[1] / (50.0 + 5.0 * i + x[2])) - y[i];
  }
};

// Least value 0 at (50, 25, 1.5), ten times the start. There f is flat in
// x1 and steep in x3 (an exponent): central differences with one step for
// all three variables are off by their truncation.
struct Gulf {
  static constexpr const char* name = "gulf";
  static constexpr std::size_t n = 3, m = 99;
  static std::vector<double> start() { return {5.0, 2.5, 0.15}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 99; ++i) {
      const double t = i / 100.0, y = 25.0 + std::pow(-50.0 * std::log(t), 2.0 / 3.0);
      r[i - 1] = exp(-exp(x[2] * log(abs(y - x[1]))) / x[0]) - t;
    }
  }
};

struct Box3d {
  static constexpr const char* name = "box-3d";
  static constexpr std::size_t n = 3, m = 10;
  static std::vector<double> start() { return {0.0, 10.0, 20.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 10; ++i) {
      const double t = 0.1 * i;
      r[i - 1] = exp(-t * x[0]) - exp(-t * x[1]) - x[2] * (std::exp(-t) - std::exp(-10.0 * t));
    }
  }
};

struct PowellSingular {
  static constexpr const char* name = "powell";
  static constexpr std::size_t n = 4, m = 4;
  static std::vector<double> start() { return {3.0, -1.0, 0.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = x[0] + 10.0 * x[1];
    r[1] = std::sqrt(5.0) * (x[2] - x[3]);
    r[2] = (x[1] - 2.0 * x[2]) * (x[1] - 2.0 * x[2]);
    r[3] = std::sqrt(10.0) * (x[0] - x[3]) * (x[0] - x[3]);
  }
};

struct Wood {
  static constexpr const char* name = "wood";
  static constexpr std::size_t n = 4, m = 6;
  static std::vector<double> start() { return {-3.0, -1.0, -3.0, -1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    r[0] = 10.0 * (x[1] - x[0] * x[0]);
    r[1] = 1.0 - x[0];
    r[2] = std::sqrt(90.0) * (x[3] - x[2] * x[2]);
    r[3] = 1.0 - x[2];
    r[4] = std::sqrt(10.0) * (x[1] + x[3] - 2.0);
    r[5] = (x[1] - x[3]) / std::sqrt(10.0);
  }
};

struct BiggsExp6 {
  static constexpr const char* name = "biggs-exp6";
  static constexpr std::size_t n = 6, m = 13;
  static std::vector<double> start() { return {1.0, 2.0, 1.0, 1.0, 1.0, 1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 13; ++i) {
      const double t = 0.1 * i;
      const double y = std::exp(-t) - 5.0 * std::exp(-10.0 * t) + 3.0 * std::exp(-4.0 * t);
      r[i - 1] = x[2] * exp(-t * x[0]) - x[3] * exp(-t * x[1]) + x[5] * exp(-t * x[4]) - y;
    }
  }
};

// Started at the origin, where every step comes from the floor for a
// variable at 0. Least sum of squares 2.28767e-3 for n = 6, 4.72238e-10
// for n = 12, where the Hessian's eigenvalues span fourteen orders of
// magnitude.
template <std::size_t N>
struct WatsonOf {
  static constexpr const char* name = N == 6 ? "watson" : N == 12 ? "watson12" : "watson-n";
  static constexpr std::size_t n = N, m = 31;
  static std::vector<double> start() { return std::vector<double>(n, 0.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 29; ++i) {
      const double t = i / 29.0;
      T slope = 0.0, sum = 0.0;
      double power = 1.0;  // t^(j - 1)
      for (std::size_t j = 0; j < n; ++j) {
        if (j > 0) slope = slope + j * x[j] * (power / t);
        sum = sum + x[j] * power;
        power *= t;
      }
      r[i - 1] = slope - sum * sum - 1.0;
    }
    r[29] = x[0];
    r[30] = x[1] - x[0] * x[0] - 1.0;
  }
};
using Watson = WatsonOf<6>;

// Each residual is n less a sum of cosines near 1: its rounding is some
// hundred times eps |r|, above what the checks' rounding estimate assumes.
struct Trigonometric {
  static constexpr const char* name = "trigonometric";
  static constexpr std::size_t n = 10, m = 10;
  static std::vector<double> start() { return std::vector<double>(n, 1.0 / n); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T cosines = 0.0;
    for (std::size_t j = 0; j < n; ++j) cosines = cosines + cos(x[j]);
    for (std::size_t i = 0; i < n; ++i)
      r[i] = double(n) - cosines + double(i + 1) * (1.0 - cos(x[i])) - sin(x[i]);
  }
};

// y = (b1 + b2 x + b3 x^2 + b4 x^3) / (1 + b5 x + b6 x^2 + b7 x^3) on
// x = 0 .. 1000, with b of sizes 1, 1e-1, 1e-3, 1e-6, 1e-2, 1e-4, 1e-7:
// x^3 = 1e9 makes the smallest parameters the ones the residuals depend on
// most, and a step of 1e-8 ||b|| moves b7 by a tenth of its size.
struct Rational {
  static constexpr const char* name = "rational";
  static constexpr std::size_t n = 7, m = 60;
  static std::vector<double> start() { return {1.0, -0.1, 4e-3, -1.5e-6, -6e-3, 2e-4, -1e-7}; }
  template <class T>
  static T model(const T* b, double x) {
    return (b[0] + x * (b[1] + x * (b[2] + x * b[3]))) / (1.0 + x * (b[4] + x * (b[5] + x * b[6])));
  }
  static double data(int i) {
    static const double truth[7] = {1.0, -0.12, 4e-3, -1.4e-6, -6e-3, 2.4e-4, -1.2e-7};
    return model(truth, abscissa(i)) + 0.01 * std::sin(3.0 * i);
  }
  static double abscissa(int i) { return 1000.0 * i / (m - 1); }
  template <class T>
  static void residuals(const T* b, T* r) {
    for (int i = 0; i < int(m); ++i) r[i] = model(b, abscissa(i)) - data(i);
  }
};

// One rate: r_i = exp(-x t_i) - exp(-t_i / 2). With a single variable a
// product along a random v in (0, 1) is the derivative times v, so every
// mistake in it shows in full, whatever v.
struct Decay {
  static constexpr const char* name = "decay";
  static constexpr std::size_t n = 1, m = 8;
  static std::vector<double> start() { return {0.3}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 8; ++i) r[i - 1] = exp(-x[0] * i) - std::exp(-0.5 * i);
  }
};

// y = b1 (1 - exp(-b2 x)) on 14 points x = 77, 132, ..., 792, data of our
// own (240 (1 - exp(-5.5e-4 x)) moved by up to 0.1), from (500, 1e-4).
// The least sum of squares, 0.0212592, is not 0; b2 changes the residuals
// some ten thousand times more than b1 does, so the Newton and
// Gauss-Newton directions lie nearly at right angles to the gradient.
struct ExponentialRise {
  static constexpr const char* name = "exponential-rise";
  static constexpr std::size_t n = 2, m = 14;
  static std::vector<double> start() { return {500.0, 1e-4}; }
  template <class T>
  static void residuals(const T* b, T* r) {
    static const double y[14] = {9.952,  16.884, 23.506, 29.989, 36.228, 42.275, 48.164,
                                 53.812, 59.384, 64.689, 69.961, 74.976, 79.952, 84.713};
    for (int i = 0; i < 14; ++i) r[i] = b[0] * (1.0 - exp(-b[1] * (77.0 + 55.0 * i))) - y[i];
  }
  // The least-squares answer, found in 64-bit long double arithmetic.
  static std::vector<double> solution() { return {236.86246487825, 5.5841882247552e-4}; }
};

// --- f = sum r_i^2 with its exact derivatives ------------------------------

template <class P, class T>
T sumOfSquaresOf(const T* x) {
  const QuietFpScope quiet;
  T r[P::m];
  P::residuals(x, r);
  T sum = 0.0;
  for (std::size_t i = 0; i < P::m; ++i) sum = sum + r[i] * r[i];
  return sum;
}

template <class P>
double sumOfSquares(const double* x) {
  return sumOfSquaresOf<P>(x);
}

// g_j = df/dx_j, one pass of Dual<double> per j.
template <class P>
void sumOfSquaresGradient(const double* x, double* g) {
  using D = dual_number::Dual<double>;
  for (std::size_t j = 0; j < P::n; ++j) {
    D xd[P::n];
    for (std::size_t k = 0; k < P::n; ++k) xd[k] = D(x[k], k == j ? 1.0 : 0.0);
    g[j] = sumOfSquaresOf<P>(xd).d;
  }
}

// H_jk = d^2 f / dx_j dx_k, one pass of Dual<Dual<double>> per pair.
template <class P>
void sumOfSquaresHessian(const double* x, double* H) {
  using D = dual_number::Dual<double>;
  using DD = dual_number::Dual<D>;
  for (std::size_t j = 0; j < P::n; ++j)
    for (std::size_t k = 0; k < P::n; ++k) {
      DD xd[P::n];
      for (std::size_t l = 0; l < P::n; ++l)
        xd[l] = DD(D(x[l], l == j ? 1.0 : 0.0), D(l == k ? 1.0 : 0.0, 0.0));
      H[j * P::n + k] = sumOfSquaresOf<P>(xd).d.d;
    }
}

// Calls f.template operator()<P>() for every problem of the collection.
template <class F>
void forEachProblem(F&& f) {
  [&]<class... P>(std::type_identity<P>...) { (f.template operator()<P>(), ...); }(
      std::type_identity<Rosenbrock>{}, std::type_identity<FreudensteinRoth>{},
      std::type_identity<PowellBadlyScaled>{}, std::type_identity<BrownBadlyScaled>{},
      std::type_identity<Beale>{}, std::type_identity<HelicalValley>{}, std::type_identity<Bard>{},
      std::type_identity<Gaussian>{}, std::type_identity<Meyer>{}, std::type_identity<Gulf>{},
      std::type_identity<Box3d>{}, std::type_identity<PowellSingular>{}, std::type_identity<Wood>{},
      std::type_identity<BiggsExp6>{}, std::type_identity<Watson>{},
      std::type_identity<Trigonometric>{}, std::type_identity<Rational>{});
}

}  // namespace residual_problems
