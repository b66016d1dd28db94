#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <valarray>
#include <variant>

#include <gtest/gtest.h>

#include "linear/c_boundary.h"
#include "linear/external_vector_function.h"
#include "zelk/zelkcomp.h"

namespace {

using Vec = std::valarray<double>;

// A dense row-major operator handed to callbacks through the context, with
// a call counter and a failure plan.
struct Host {
  long rows = 0, cols = 0;
  std::vector<double> a;  // rows x cols
  int calls = 0;
  int failAt = 0;   // the call (1-based) from which the callback fails
  int failCode = 7;
  bool transposed = false;
};

int denseProduct(const double* x, long n, double* y, long m, void* context) {
  auto* h = static_cast<Host*>(context);
  ++h->calls;
  if (h->failAt > 0 && h->calls >= h->failAt) return h->failCode;
  for (long i = 0; i < m; ++i) {
    double s = 0.0;
    for (long j = 0; j < n; ++j)
      s += (h->transposed ? h->a[j * h->cols + i] : h->a[i * h->cols + j]) * x[j];
    y[i] = s;
  }
  return 0;
}

// Same product, computed as the transpose.
int denseTransposedProduct(const double* x, long n, double* y, long m, void* context) {
  auto* h = static_cast<Host*>(context);
  h->transposed = true;
  const int rc = denseProduct(x, n, y, m, context);
  h->transposed = false;
  return rc;
}

int failWithoutWriting(const double*, long, double*, long, void*) { return 3; }

int throwingCallback(const double*, long, double*, long, void*) {
  throw std::runtime_error("host exploded");
}

OptionMap operatorOptions(long m, Host* host, IterationControl* control) {
  return OptionMap{{"dim_m", m}, {"dim_n", host->cols}, {"context", static_cast<void*>(host)},
                   {"control", static_cast<void*>(control)}};
}

TEST(ExternalVectorFunction, ConstructionChecksItsKeys) {
  Host h;
  const ExternalVectorCallback cb = denseProduct;
  const OptionMap ok = operatorOptions(2, &h, nullptr);
  EXPECT_NO_THROW(ExternalVectorFunction(cb, ok));
  for (const char* key : {"context", "control", "dim_m"}) {
    OptionMap missing = ok;
    missing.erase(key);
    try {
      ExternalVectorFunction f(cb, missing);
      ADD_FAILURE() << key;
    } catch (const std::out_of_range& e) {
      EXPECT_NE(std::string(e.what()).find(key), std::string::npos) << e.what();
    }
  }
  OptionMap wrong = ok;
  wrong["control"] = 0L;
  EXPECT_THROW(ExternalVectorFunction(cb, wrong), std::bad_variant_access);
  wrong = ok;
  wrong["dim_m"] = 2.0;
  EXPECT_THROW(ExternalVectorFunction(cb, wrong), std::bad_variant_access);
  wrong["dim_m"] = -1L;
  EXPECT_THROW(ExternalVectorFunction(cb, wrong), std::invalid_argument);

  // A null callback is refused when it would be called, not before.
  ExternalVectorFunction null(nullptr, ok);
  EXPECT_THROW(null(Vec{1.0}), std::invalid_argument);
}

TEST(ExternalVectorFunction, ProductsAndFailureAccounting) {
  Host h{3, 2, {1, -2, 0, 5, 4, -1}};
  IterationControl control;
  ExternalVectorFunction A(denseProduct, operatorOptions(3, &h, &control));
  EXPECT_EQ(A.context, &h);
  EXPECT_EQ(A.control, &control);
  Vec y = A(Vec{1.0, 1.0});
  ASSERT_EQ(y.size(), 3u);
  EXPECT_EQ(y[0], -1.0);
  EXPECT_EQ(y[1], 5.0);
  EXPECT_EQ(y[2], 3.0);
  EXPECT_EQ(control.calls, 1);
  EXPECT_EQ(control.state, 0);

  // A failure: message, state 2, value the code, the call counted twice;
  // the zero-filled output comes back.
  h.failAt = 2;
  control.reason = 64;
  testing::internal::CaptureStderr();
  y = A(Vec{1.0, 1.0});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "eig:920: Function callback returned non-zero status code: 7\n");
  EXPECT_EQ(control.state, 2);
  EXPECT_EQ(control.value, 7.0);
  EXPECT_EQ(control.reason, 64);
  EXPECT_EQ(control.calls, 3);
  EXPECT_EQ(y.size(), 3u);
  EXPECT_EQ(y.max(), 0.0);
  EXPECT_EQ(y.min(), 0.0);

  // Without a record the failure is only reported.
  ExternalVectorFunction loose(denseProduct, operatorOptions(3, &h, nullptr));
  testing::internal::CaptureStderr();
  loose(Vec{1.0, 1.0});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "eig:920: Function callback returned non-zero status code: 7\n");
}

TEST(ColInfo, ColumnStatistics) {
  Host h{3, 2, {1, -2, 0, 5, 4, -1}};
  double diag[2], sum[2], abssum[2], mn[2], mx[2], amn[2], amx[2];
  EXPECT_EQ(zelkcomp_colinfo(3, 2, denseProduct, diag, sum, abssum, mn, mx, amn, amx, &h), 0);
  EXPECT_EQ(h.calls, 2);
  const double want[7][2] = {{1, 5}, {5, 2}, {5, 8}, {0, -2}, {4, 5}, {0, 1}, {4, 5}};
  const double* got[7] = {diag, sum, abssum, mn, mx, amn, amx};
  for (int k = 0; k < 7; ++k)
    for (int i = 0; i < 2; ++i) EXPECT_EQ(got[k][i], want[k][i]) << "output " << k << " col " << i;

  // All outputs skipped: the callback still runs once per column.
  h.calls = 0;
  EXPECT_EQ(zelkcomp_colinfo(3, 2, denseProduct, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, &h),
            0);
  EXPECT_EQ(h.calls, 2);

  // A failure on column 0 of three: that column's statistics, zeros after.
  Host wide{2, 3, {1, 2, 3, 4, 5, 6}};
  wide.failAt = 1;
  double s3[3] = {-1, -1, -1}, d2[2] = {-1, -1};
  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_colinfo(2, 3, denseProduct, d2, s3, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &wide),
            2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "comp_linsolve:1041: zelkcomp_colinfo : Function callback returned non-zero status "
            "code: 7\n");
  EXPECT_EQ(wide.calls, 1);
  EXPECT_EQ(s3[0], 0.0);
  EXPECT_EQ(s3[1], 0.0);
  EXPECT_EQ(s3[2], 0.0);
  EXPECT_EQ(d2[1], 0.0);
}

TEST(ColInfo, RefusesBadArguments) {
  Host h{3, 2, {1, -2, 0, 5, 4, -1}};
  double out[4];
  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_colinfo(0, 2, denseProduct, out, out, out, out, out, out, out, &h),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_colinfo(3, -1, denseProduct, out, out, out, out, out, out, out, &h),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_colinfo(3L + INT_MAX, 2, denseProduct, out, out, out, out, out, out, out, &h),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_colinfo(3, 2, nullptr, out, out, out, out, out, out, out, &h),
            ZELKCOMP_ERR_ARGUMENT);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("zelkcomp_colinfo: invalid argument: m = 0"), std::string::npos) << err;
  EXPECT_NE(err.find("zelkcomp_colinfo: invalid argument: A is a null pointer"),
            std::string::npos)
      << err;
  EXPECT_EQ(h.calls, 0);

  // An exception out of the host's code stops at the boundary.
  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_colinfo(3, 2, throwingCallback, out, out, out, out, out, out, out, &h),
            ZELKCOMP_ERR_INTERNAL);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "zelkcomp_colinfo: host exploded\n");
}

TEST(IsSymmetric, ComparesTheTwoProducts) {
  Host sym{3, 3, {2, -1, 0, -1, 2, -1, 0, -1, 2}};
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, denseTransposedProduct, &sym, 1e-12), 1);
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, denseProduct, &sym, 1e-300), 1);
  // The relative difference 0 is not below a tolerance of 0.
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, denseProduct, &sym, 0.0), 0);

  Host nonsym{3, 3, {2, -1, 0, 1, 2, -1, 0, -1, 2}};
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, denseTransposedProduct, &nonsym, 1e-6), 0);

  // Different sizes: no call at all.
  Host rect{4, 5, std::vector<double>(20, 1.0)};
  EXPECT_EQ(zelkcomp_is_symmetric(4, 5, denseProduct, denseProduct, &rect, 1.0), 0);
  EXPECT_EQ(rect.calls, 0);

  // Failing callbacks prove nothing, even when their outputs agree.
  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, failWithoutWriting, failWithoutWriting, &sym, 1.0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "comp_linsolve:996: zelkcomp_linsolve_matfree : Function callback returned non-zero "
            "status code: 3\n"
            "comp_linsolve:1009: zelkcomp_linsolve_matfree : Function callback returned non-zero "
            "status code: 3\n");
  sym.calls = 0;
  sym.failAt = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, denseProduct, &sym, 1.0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "comp_linsolve:1009: zelkcomp_linsolve_matfree : Function callback returned non-zero "
            "status code: 7\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(zelkcomp_is_symmetric(-3, -3, denseProduct, denseProduct, &sym, 1.0),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, denseProduct, nullptr, &sym, 1.0), ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(zelkcomp_is_symmetric(3, 3, throwingCallback, denseProduct, &sym, 1.0),
            ZELKCOMP_ERR_INTERNAL);
  testing::internal::GetCapturedStderr();
}

TEST(EntryGuard, TurnsExceptionsIntoStatuses) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(guardEntry("entry", [] { return 5; }), 5);
  EXPECT_EQ(guardEntry("entry", []() -> int { throw std::bad_alloc(); }), ZELKCOMP_ERR_INTERNAL);
  EXPECT_EQ(guardEntry("entry", []() -> int { throw 42; }), ZELKCOMP_ERR_INTERNAL);
  EXPECT_EQ(guardEntry("entry", []() -> int { return static_cast<int>(requireSize(-1, "n")); }),
            ZELKCOMP_ERR_ARGUMENT);
  EXPECT_EQ(guardEntry("entry", [] { return static_cast<int>(requireSize(7, "n", 1)); }), 7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "entry: out of memory\nentry: unknown error\n"
            "entry: invalid argument: n = -1 is outside [0, 2147483647]\n");
}

}  // namespace
