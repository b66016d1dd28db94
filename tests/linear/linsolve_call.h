#pragma once
// One zelkcomp_linsolve call as a test sets it up: the arguments with
// defaults, outputs pre-filled with a sentinel (so that "untouched" can be
// checked) and standard error captured.

#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linear/linsolve_test_host.h"
#include "zelk/zelkcomp.h"

namespace linsolve_test {

inline constexpr double kSentinel = 12345.0;

struct LinsolveCall {
  std::string method = "cg";
  const double* A = nullptr;  // dense matrix, or null for the callbacks
  Vec b, x0;
  long m = 0, n = 0;
  ExternalVectorCallback Acb = hostProduct;
  ExternalVectorCallback ATcb = hostTransposedProduct;
  ExternalVectorCallback Pcb = nullptr;
  std::vector<const char*> names;
  std::vector<double> values;
  void* context = nullptr;
  bool nullMethod = false, nullB = false, nullX0 = false;

  Vec x, y;
  IterativeResult res{};
  std::string err;  // standard error of the call
  int rc = 0;

  LinsolveCall(Host& h, Vec b_, std::string method_ = "cg")
      : method(std::move(method_)),
        b(std::move(b_)),
        x0(0.0, static_cast<std::size_t>(h.cols)),
        m(h.rows),
        n(h.cols),
        context(&h) {}

  void option(const char* name, double value) {
    names.push_back(name);
    values.push_back(value);
  }

  int run() {
    x = Vec(kSentinel, static_cast<std::size_t>(n > 0 && n < (1L << 24) ? n : 1));
    y = Vec(kSentinel, static_cast<std::size_t>(m > 0 && m < (1L << 24) ? m : 1));
    std::memset(&res, 0xab, sizeof res);
    testing::internal::CaptureStderr();
    rc = zelkcomp_linsolve(nullMethod ? nullptr : method.c_str(), A,
                           nullB || b.size() == 0 ? nullptr : &b[0],
                           nullX0 || x0.size() == 0 ? nullptr : &x0[0], &x[0], &y[0], m, n, Acb,
                           ATcb, Pcb, nullptr, &res, names.data(), values.data(),
                           static_cast<long>(names.size()), context);
    err = testing::internal::GetCapturedStderr();
    return rc;
  }

  bool resUntouched() const {
    IterativeResult fresh;
    std::memset(&fresh, 0xab, sizeof fresh);
    return std::memcmp(&fresh, &res, sizeof res) == 0;
  }
  bool allEqual(const Vec& v, double value) const {
    for (double e : v)
      if (e != value) return false;
    return true;
  }
  bool xUntouched() const { return allEqual(x, kSentinel); }
  bool yUntouched() const { return allEqual(y, kSentinel); }
  bool printed(const std::string& text) const { return err.find(text) != std::string::npos; }
};

// What `os << v` shows with a fresh stream's formatting.
template <class T>
std::string shown(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

}  // namespace linsolve_test
