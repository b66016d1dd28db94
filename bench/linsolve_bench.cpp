// The linear-solve entry point, method "cg", on a dense 500 x 500 symmetric
// positive definite matrix: the dense path through CBLAS products, with the
// front end's option handling and checks included. The count reported is the
// number of CG iterations.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <valarray>

#include "bench/quiet_stderr.h"
#include "zelk/zelkcomp.h"

namespace {

void BM_LinsolveDenseCG(benchmark::State& st) {
  const auto n = static_cast<std::size_t>(st.range(0));
  // A = B^T B / n + I with a smooth B: well conditioned, fully dense.
  std::valarray<double> B(n * n), A(0.0, n * n), b(n), x0(0.0, n), x(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) B[i * n + j] = std::sin(0.37 * i + 0.11 * j + 0.05 * i * j);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < n; ++k) s += B[k * n + i] * B[k * n + j];
      A[i * n + j] = s / static_cast<double>(n) + (i == j ? 1.0 : 0.0);
    }
    b[i] = std::cos(0.2 * i);
  }
  const char* names[] = {"tol"};
  const double values[] = {1e-10};
  std::int64_t iterations = 0;
  {
    QuietStderr quiet;
    for (auto _ : st) {
      IterativeResult res{};
      const long ln = static_cast<long>(n);
      const int rc = zelkcomp_linsolve("cg", &A[0], &b[0], &x0[0], &x[0], nullptr, ln, ln,
                                       nullptr, nullptr, nullptr, nullptr, &res, names, values,
                                       1, nullptr);
      benchmark::DoNotOptimize(rc);
      benchmark::DoNotOptimize(&x[0]);
      iterations += res.it;
    }
  }
  st.SetItemsProcessed(iterations);
}
BENCHMARK(BM_LinsolveDenseCG)->Arg(500)->Unit(benchmark::kMillisecond);

// The entry cost of the dense path at n = 2000 (a 32 MB matrix): "cg" with
// one iteration runs three matrix-vector products (r0, A p, the closing
// check), so the copies of A the entry point makes are a large part of it.
void BM_LinsolveDenseEntry(benchmark::State& st) {
  const auto n = static_cast<std::size_t>(st.range(0));
  std::valarray<double> A(n * n), b(1.0, n), x0(0.0, n), x(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      A[i * n + j] = (i == j ? 4.0 : 0.0) + 1.0 / static_cast<double>(1 + i + j);
  const char* names[] = {"maxit"};
  const double values[] = {1.0};
  QuietStderr quiet;
  for (auto _ : st) {
    const long ln = static_cast<long>(n);
    const int rc = zelkcomp_linsolve("cg", &A[0], &b[0], &x0[0], &x[0], nullptr, ln, ln, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, names, values, 1,
                                     nullptr);
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_LinsolveDenseEntry)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
