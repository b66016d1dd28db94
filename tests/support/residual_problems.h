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

#include <algorithm>
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
  static constexpr const char* name = N == 6 ? "watson" : N == 9 ? "watson9" : N == 12 ? "watson12" : "watson-n";
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

struct JennrichSampson {
  static constexpr const char* name = "jennrich-sampson";
  static constexpr std::size_t n = 2, m = 10;
  static std::vector<double> start() { return {0.3, 0.4}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 10; ++i) r[i - 1] = 2.0 + 2.0 * i - (exp(i * x[0]) + exp(i * x[1]));
  }
};

struct KowalikOsborne {
  static constexpr const char* name = "kowalik-osborne";
  static constexpr std::size_t n = 4, m = 11;
  static std::vector<double> start() { return {0.25, 0.39, 0.415, 0.39}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[11] = {0.1957, 0.1947, 0.1735, 0.1600, 0.0844, 0.0627,
                                 0.0456, 0.0342, 0.0323, 0.0235, 0.0246};
    static const double u[11] = {4, 2, 1, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625};
    for (int i = 0; i < 11; ++i)
      r[i] = y[i] - x[0] * (u[i] * u[i] + u[i] * x[1]) / (u[i] * u[i] + u[i] * x[2] + x[3]);
  }
};

// f is about 8e6 at the start and grows as the fourth power of the
// distance: the second differences of its Hessian check are rounding.
struct BrownDennis {
  static constexpr const char* name = "brown-dennis";
  static constexpr std::size_t n = 4, m = 20;
  static std::vector<double> start() { return {25.0, 5.0, -5.0, -1.0}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (int i = 1; i <= 20; ++i) {
      const double t = i / 5.0;
      const T u = x[0] + t * x[1] - std::exp(t), v = x[2] + std::sin(t) * x[3] - std::cos(t);
      r[i - 1] = u * u + v * v;
    }
  }
};

struct Osborne1 {
  static constexpr const char* name = "osborne-1";
  static constexpr std::size_t n = 5, m = 33;
  static std::vector<double> start() { return {0.5, 1.5, -1.0, 0.01, 0.02}; }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[33] = {0.844, 0.908, 0.932, 0.936, 0.925, 0.908, 0.881, 0.850, 0.818,
                                 0.784, 0.751, 0.718, 0.685, 0.658, 0.628, 0.603, 0.580, 0.558,
                                 0.538, 0.522, 0.506, 0.490, 0.478, 0.467, 0.457, 0.448, 0.438,
                                 0.431, 0.424, 0.420, 0.414, 0.411, 0.406};
    for (int i = 0; i < 33; ++i) {
      const double t = 10.0 * i;
      r[i] = y[i] - (x[0] + x[1] * exp(-t * x[3]) + x[2] * exp(-t * x[4]));
    }
  }
};

struct Osborne2 {
  static constexpr const char* name = "osborne-2";
  static constexpr std::size_t n = 11, m = 65;
  static std::vector<double> start() {
    return {1.3, 0.65, 0.65, 0.7, 0.6, 3.0, 5.0, 7.0, 2.0, 4.5, 5.5};
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    static const double y[65] = {
        1.366, 1.191, 1.112, 1.013, 0.991, 0.885, 0.831, 0.847, 0.786, 0.725, 0.746, 0.679, 0.608,
        0.655, 0.616, 0.606, 0.602, 0.626, 0.651, 0.724, 0.649, 0.649, 0.694, 0.644, 0.624, 0.661,
        0.612, 0.558, 0.533, 0.495, 0.500, 0.423, 0.395, 0.375, 0.372, 0.391, 0.396, 0.405, 0.428,
        0.429, 0.523, 0.562, 0.607, 0.653, 0.672, 0.708, 0.633, 0.668, 0.645, 0.632, 0.591, 0.559,
        0.597, 0.625, 0.739, 0.710, 0.729, 0.720, 0.636, 0.581, 0.428, 0.292, 0.162, 0.098, 0.054};
    for (int i = 0; i < 65; ++i) {
      const double t = i / 10.0;
      const T a = t - x[8], b = t - x[9], c = t - x[10];
      r[i] = y[i] - (x[0] * exp(-t * x[4]) + x[1] * exp(-a * a * x[5]) +
                     x[2] * exp(-b * b * x[6]) + x[3] * exp(-c * c * x[7]));
    }
  }
};

template <std::size_t N>
struct ExtendedRosenbrock {
  static constexpr const char* name = "extended-rosenbrock";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = j % 2 == 0 ? -1.2 : 1.0;
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < n; i += 2) {
      r[i] = 10.0 * (x[i + 1] - x[i] * x[i]);
      r[i + 1] = 1.0 - x[i];
    }
  }
};

template <std::size_t N>
struct ExtendedPowell {
  static constexpr const char* name = "extended-powell";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; j += 4) {
      x[j] = 3.0;
      x[j + 1] = -1.0;
      x[j + 2] = 0.0;
      x[j + 3] = 1.0;
    }
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < n; i += 4) {
      const T c = x[i + 1] - 2.0 * x[i + 2], d = x[i] - x[i + 3];
      r[i] = x[i] + 10.0 * x[i + 1];
      r[i + 1] = std::sqrt(5.0) * (x[i + 2] - x[i + 3]);
      r[i + 2] = c * c;
      r[i + 3] = std::sqrt(10.0) * d * d;
    }
  }
};

template <std::size_t N>
struct Penalty1 {
  static constexpr const char* name = "penalty-1";
  static constexpr std::size_t n = N, m = N + 1;
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = j + 1.0;
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    T squares = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      r[j] = std::sqrt(1e-5) * (x[j] - 1.0);
      squares = squares + x[j] * x[j];
    }
    r[n] = squares - 0.25;
  }
};

template <std::size_t N>
struct Penalty2 {
  static constexpr const char* name = "penalty-2";
  static constexpr std::size_t n = N, m = 2 * N;
  static std::vector<double> start() { return std::vector<double>(n, 0.5); }
  template <class T>
  static void residuals(const T* x, T* r) {
    const double a = std::sqrt(1e-5);
    r[0] = x[0] - 0.2;
    for (std::size_t i = 1; i < n; ++i) {
      const double y = std::exp((i + 1) / 10.0) + std::exp(i / 10.0);
      r[i] = a * (exp(x[i] / 10.0) + exp(x[i - 1] / 10.0) - y);
      r[n + i - 1] = a * (exp(x[i] / 10.0) - std::exp(-0.1));
    }
    T weighted = 0.0;
    for (std::size_t j = 0; j < n; ++j) weighted = weighted + double(n - j) * x[j] * x[j];
    r[2 * n - 1] = weighted - 1.0;
  }
};

// Least value 0 at (1, ..., 1); the last residual is the square of the one
// before it, so f grows as the fourth power of the distance.
template <std::size_t N>
struct VariablyDimensioned {
  static constexpr const char* name = "variably-dimensioned";
  static constexpr std::size_t n = N, m = N + 2;
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = 1.0 - (j + 1.0) / n;
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    T sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      r[j] = x[j] - 1.0;
      sum = sum + double(j + 1) * (x[j] - 1.0);
    }
    r[n] = sum;
    r[n + 1] = sum * sum;
  }
};

template <std::size_t N>
struct BrownAlmostLinear {
  static constexpr const char* name = "brown-almost-linear";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() { return std::vector<double>(n, 0.5); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T sum = 0.0, product = 1.0;
    for (std::size_t j = 0; j < n; ++j) {
      sum = sum + x[j];
      product = product * x[j];
    }
    for (std::size_t i = 0; i + 1 < n; ++i) r[i] = x[i] + sum - double(n + 1);
    r[n - 1] = product - 1.0;
  }
};

template <std::size_t N>
struct DiscreteBoundaryValue {
  static constexpr const char* name = "discrete-boundary-value";
  static constexpr std::size_t n = N, m = N;
  static constexpr double h = 1.0 / (N + 1);
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = (j + 1) * h * ((j + 1) * h - 1.0);
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < n; ++i) {
      const T left = i > 0 ? x[i - 1] : T(0.0), right = i + 1 < n ? x[i + 1] : T(0.0);
      const T c = x[i] + (i + 1) * h + 1.0;
      r[i] = 2.0 * x[i] - left - right + h * h * c * c * c / 2.0;
    }
  }
};

template <std::size_t N>
struct DiscreteIntegralEquation {
  static constexpr const char* name = "discrete-integral-equation";
  static constexpr std::size_t n = N, m = N;
  static constexpr double h = 1.0 / (N + 1);
  static std::vector<double> start() { return DiscreteBoundaryValue<N>::start(); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T cubes[N];
    for (std::size_t j = 0; j < n; ++j) {
      const T c = x[j] + (j + 1) * h + 1.0;
      cubes[j] = c * c * c;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const double ti = (i + 1) * h;
      T below = 0.0, above = 0.0;
      for (std::size_t j = 0; j <= i; ++j) below = below + (j + 1) * h * cubes[j];
      for (std::size_t j = i + 1; j < n; ++j) above = above + (1.0 - (j + 1) * h) * cubes[j];
      r[i] = x[i] + h * ((1.0 - ti) * below + ti * above) / 2.0;
    }
  }
};

template <std::size_t N>
struct BroydenTridiagonal {
  static constexpr const char* name = "broyden-tridiagonal";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() { return std::vector<double>(n, -1.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < n; ++i) {
      const T left = i > 0 ? x[i - 1] : T(0.0), right = i + 1 < n ? x[i + 1] : T(0.0);
      r[i] = (3.0 - 2.0 * x[i]) * x[i] - left - 2.0 * right + 1.0;
    }
  }
};

template <std::size_t N>
struct BroydenBanded {
  static constexpr const char* name = "broyden-banded";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() { return std::vector<double>(n, -1.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < n; ++i) {
      T band = 0.0;
      const std::size_t first = i >= 5 ? i - 5 : 0, last = std::min(n - 1, i + 1);
      for (std::size_t j = first; j <= last; ++j)
        if (j != i) band = band + x[j] * (1.0 + x[j]);
      r[i] = x[i] * (2.0 + 5.0 * x[i] * x[i]) + 1.0 - band;
    }
  }
};

template <std::size_t N, std::size_t M>
struct LinearFullRank {
  static constexpr const char* name = "linear-full-rank";
  static constexpr std::size_t n = N, m = M;
  static std::vector<double> start() { return std::vector<double>(n, 1.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) sum = sum + x[j];
    for (std::size_t i = 0; i < m; ++i)
      r[i] = (i < n ? x[i] : T(0.0)) - 2.0 / m * sum - 1.0;
  }
};

template <std::size_t N, std::size_t M>
struct LinearRank1 {
  static constexpr const char* name = "linear-rank-1";
  static constexpr std::size_t n = N, m = M;
  static std::vector<double> start() { return std::vector<double>(n, 1.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) sum = sum + double(j + 1) * x[j];
    for (std::size_t i = 0; i < m; ++i) r[i] = double(i + 1) * sum - 1.0;
  }
};

template <std::size_t N, std::size_t M>
struct LinearRank1ZeroColumns {
  static constexpr const char* name = "linear-rank-1-zero-columns";
  static constexpr std::size_t n = N, m = M;
  static std::vector<double> start() { return std::vector<double>(n, 1.0); }
  template <class T>
  static void residuals(const T* x, T* r) {
    T sum = 0.0;
    for (std::size_t j = 1; j + 1 < n; ++j) sum = sum + double(j + 1) * x[j];
    r[0] = -1.0;
    for (std::size_t i = 1; i + 1 < m; ++i) r[i] = double(i) * sum - 1.0;
    r[m - 1] = -1.0;
  }
};

// The shifted Chebyshev polynomials T_i on [0, 1], averaged over the x_j,
// against their integrals.
template <std::size_t N>
struct Chebyquad {
  static constexpr const char* name = "chebyquad";
  static constexpr std::size_t n = N, m = N;
  static std::vector<double> start() {
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = (j + 1.0) / (n + 1);
    return x;
  }
  template <class T>
  static void residuals(const T* x, T* r) {
    for (std::size_t i = 0; i < m; ++i) r[i] = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      const T y = 2.0 * x[j] - 1.0;
      T previous = 1.0, current = y;
      for (std::size_t i = 0; i < m; ++i) {
        r[i] = r[i] + current / double(n);
        const T next = 2.0 * y * current - previous;
        previous = current;
        current = next;
      }
    }
    for (std::size_t i = 0; i < m; ++i)
      if ((i + 1) % 2 == 0) r[i] = r[i] + 1.0 / ((i + 1.0) * (i + 1.0) - 1.0);
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
  // In a function of its own (quietly), so that -O3 moves none of the sum
  // past the scope's end.
  return quietly([&] {
    T r[P::m];
    P::residuals(x, r);
    T sum = 0.0;
    for (std::size_t i = 0; i < P::m; ++i) sum = sum + r[i] * r[i];
    return sum;
  });
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

// Calls f.template operator()<P>() for each of the types P.
template <class... P, class F>
void forEach(F&& f) {
  (f.template operator()<P>(), ...);
}

// Calls f.template operator()<P>() for every problem of the collection: the
// classic one at its usual sizes, and the rational model and the decay.
template <class F>
void forEachProblem(F&& f) {
  forEach<Rosenbrock, FreudensteinRoth, PowellBadlyScaled, BrownBadlyScaled, Beale, HelicalValley,
          Bard, Gaussian, Meyer, Gulf, Box3d, PowellSingular, Wood, BiggsExp6, Watson,
          Trigonometric, JennrichSampson, KowalikOsborne, BrownDennis, Osborne1, Osborne2,
          ExtendedRosenbrock<10>, ExtendedPowell<12>, Penalty1<10>, Penalty2<10>,
          VariablyDimensioned<10>, BrownAlmostLinear<10>, DiscreteBoundaryValue<10>,
          DiscreteIntegralEquation<10>, BroydenTridiagonal<10>, BroydenBanded<10>,
          LinearFullRank<10, 20>, LinearRank1<10, 20>, LinearRank1ZeroColumns<10, 20>,
          Chebyquad<8>, Rational, Decay>(f);
}

// The classic collection alone, its 35 problems at their usual sizes and
// eight more sizes of those whose size is free: 43 minimisation problems.
template <class F>
void forEachClassicProblem(F&& f) {
  forEach<Rosenbrock, FreudensteinRoth, PowellBadlyScaled, BrownBadlyScaled, Beale, JennrichSampson,
          HelicalValley, Bard, Gaussian, Meyer, Gulf, Box3d, PowellSingular, Wood, KowalikOsborne,
          BrownDennis, Osborne1, BiggsExp6, Osborne2, Watson, ExtendedRosenbrock<10>,
          ExtendedPowell<12>, Penalty1<10>, Penalty2<10>, VariablyDimensioned<10>, Trigonometric,
          BrownAlmostLinear<10>, DiscreteBoundaryValue<10>, DiscreteIntegralEquation<10>,
          BroydenTridiagonal<10>, BroydenBanded<10>, LinearFullRank<10, 20>, LinearRank1<10, 20>,
          LinearRank1ZeroColumns<10, 20>, Chebyquad<8>, WatsonOf<9>, WatsonOf<12>, Penalty1<4>,
          Penalty2<4>, BrownAlmostLinear<5>, Chebyquad<9>, Chebyquad<10>,
          LinearFullRank<5, 10>>(f);
}

}  // namespace residual_problems
