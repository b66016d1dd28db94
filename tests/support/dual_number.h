#pragma once
// Forward-mode differentiation for the test problems: a number with its
// derivative along one direction. Residual code written once for any
// number type gives, with Dual<double>, one column of the Jacobian per
// pass, and with Dual<Dual<double>> one entry of each residual's Hessian.
// The operations are hidden friends, so that doubles in an expression
// convert (10.0 * x).

#include <cmath>

namespace dual_number {

template <class T>
struct Dual {
  T v{}, d{};

  Dual(double value = 0.0) : v(value), d(0.0) {}
  Dual(T value, T slope) : v(value), d(slope) {}

  friend Dual operator+(const Dual& a, const Dual& b) { return {a.v + b.v, a.d + b.d}; }
  friend Dual operator-(const Dual& a, const Dual& b) { return {a.v - b.v, a.d - b.d}; }
  friend Dual operator-(const Dual& a) { return {-a.v, -a.d}; }
  friend Dual operator*(const Dual& a, const Dual& b) { return {a.v * b.v, a.d * b.v + a.v * b.d}; }
  friend Dual operator/(const Dual& a, const Dual& b) {
    return {a.v / b.v, (a.d * b.v - a.v * b.d) / (b.v * b.v)};
  }
  friend bool operator<(const Dual& a, double b) { return a.v < b; }
  friend Dual exp(const Dual& a) {
    using std::exp;
    const T e = exp(a.v);
    return {e, e * a.d};
  }
  friend Dual log(const Dual& a) {
    using std::log;
    return {log(a.v), a.d / a.v};
  }
  friend Dual sqrt(const Dual& a) {
    using std::sqrt;
    const T s = sqrt(a.v);
    return {s, a.d / (2.0 * s)};
  }
  friend Dual atan(const Dual& a) {
    using std::atan;
    return {atan(a.v), a.d / (1.0 + a.v * a.v)};
  }
  friend Dual sin(const Dual& a) {
    using std::cos, std::sin;
    return {sin(a.v), cos(a.v) * a.d};
  }
  friend Dual cos(const Dual& a) {
    using std::cos, std::sin;
    return {cos(a.v), -sin(a.v) * a.d};
  }
  friend Dual abs(const Dual& a) { return a < 0.0 ? -a : a; }
};

// The value of a number of any nesting depth.
inline double valueOf(double a) { return a; }
template <class T>
double valueOf(const Dual<T>& a) {
  return valueOf(a.v);
}

}  // namespace dual_number
