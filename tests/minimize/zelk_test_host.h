#pragma once
// A host program for `zelk` tests: a separable quadratic
//   f(x) = offset + 1/2 sum_i w_i (x_i - c_i)^2
// with its gradient, Hessian and Hessian products as C callbacks, an output
// callback that keeps every record, and switches that make a callback
// misbehave.

#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zelk/zelk.h"

namespace zelk_test {

using Record = std::map<std::string, std::string>;
using Options = std::vector<std::pair<std::string, double>>;

struct Host {
  std::vector<double> center{1.0, -2.0, 0.5};
  std::vector<double> weight{1.0, 3.0, 10.0};
  double offset = 0.0;

  double gradientError = 0.0;   // added to g_0
  bool gradientWritesF = true;  // the gradient callback reports f
  double reportedFError = 0.0;  // added to the f it reports
  bool nanGradient = false;
  int answer = 0;       // output callback's answer to iteration records
  int finalAnswer = 0;  // and to the final record
  std::function<void(Host&, const Record&)> onRecord;  // inside the output callback
  std::function<void(Host&)> inCallback;               // inside every callback

  std::vector<Record> records;
  int objectiveCalls = 0;
  int gradientCalls = 0;
};

inline Host& of(void* user) { return *static_cast<Host*>(user); }

inline double value(const Host& h, const double* x, long n) {
  double s = 0.0;
  for (long i = 0; i < n; ++i) s += h.weight[i] * (x[i] - h.center[i]) * (x[i] - h.center[i]);
  return h.offset + 0.5 * s;
}

inline int objective(const double* x, long n, double* f, long, void* user) {
  Host& h = of(user);
  ++h.objectiveCalls;
  if (h.inCallback) h.inCallback(h);
  *f = value(h, x, n);
  return 0;
}

inline int gradient(const double* x, long n, double* f, long, double* g, void* user) {
  Host& h = of(user);
  ++h.gradientCalls;
  if (h.inCallback) h.inCallback(h);
  for (long i = 0; i < n; ++i) g[i] = h.weight[i] * (x[i] - h.center[i]);
  g[0] += h.gradientError;
  if (h.nanGradient) g[n - 1] = std::nan("");
  if (h.gradientWritesF) *f = value(h, x, n) + h.reportedFError;
  return 0;
}

inline int hessian(const double* x, long n, double* f, long m, double* g, double* H, void* user) {
  gradient(x, n, f, m, g, user);
  const Host& h = of(user);
  for (long i = 0; i < n; ++i)
    for (long j = 0; j < n; ++j) H[i * n + j] = i == j ? h.weight[i] : 0.0;
  return 0;
}

inline int product(const double* x, long n, double* f, long m, const double* V, int k, double* w,
                   double* W, void* user) {
  gradient(x, n, f, m, w, user);
  const Host& h = of(user);
  for (long i = 0; i < n; ++i)
    for (int j = 0; j < k; ++j) W[i * k + j] = h.weight[i] * V[i * k + j];
  return 0;
}

inline int output(const double*, long, const double*, long, const void*, const void*,
                  const char** keys, const char** values, long count, void* user) {
  Host& h = of(user);
  if (h.inCallback) h.inCallback(h);
  Record r;
  for (long i = 0; i < count; ++i) r[keys[i]] = values[i];
  h.records.push_back(r);
  if (h.onRecord) h.onRecord(h, r);
  if (r.count("exit")) return h.finalAnswer;
  return r.count("tj") ? h.answer : 0;
}

struct Callbacks {
  bool gradient = true;
  bool hessian = false;
  bool product = false;
  bool output = true;
};

struct Outcome {
  int status = -100;
  std::vector<double> x;
  double f = -1.0;
};

// Runs zelk from x0 (the host's centre count of variables when empty).
inline Outcome run(Host& h, std::vector<double> x0, const Options& options = {},
                   Callbacks cb = {}) {
  if (x0.empty()) x0.assign(h.center.size(), 0.25);
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

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Keys of a record in the order the host received them.
inline std::vector<std::string> keysOf(const Record& r) {
  std::vector<std::string> k;
  for (const auto& entry : r) k.push_back(entry.first);
  return k;
}

}  // namespace zelk_test
