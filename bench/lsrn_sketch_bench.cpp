// What "lsrn" spends on its random sketch. On a 20000 x 100 least-squares
// problem whose host products are CBLAS calls, the method draws 200 random
// vectors of 20000 numbers (4 million numbers) for its sketch; the random
// numbers alone and the dense least-squares solve of the same problem
// (LAPACK dgelsd through "mvsolve") are timed beside it.

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <cmath>
#include <valarray>
#include <vector>

#include "bench/quiet_stderr.h"
#include "dense/random.h"
#include "zelk/zelkcomp.h"

namespace {

struct Tall {
  long rows = 20000, cols = 100;
  std::vector<double> a = std::vector<double>(static_cast<std::size_t>(rows * cols));
  std::vector<double> b = std::vector<double>(static_cast<std::size_t>(rows));
  Tall() {
    for (long i = 0; i < rows; ++i) {
      for (long j = 0; j < cols; ++j) {
        const double t = std::sin(12.9898 * i + 78.233 * j) * 43758.5453;
        a[static_cast<std::size_t>(i * cols + j)] =
            (t - std::floor(t) - 0.5) * std::pow(10.0, -3.0 * j / 99.0);
      }
      b[static_cast<std::size_t>(i)] = std::cos(0.001 * static_cast<double>(i));
    }
  }
};

int tallProduct(const double* x, long, double* y, long, void* context) {
  const Tall& t = *static_cast<const Tall*>(context);
  cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(t.rows), static_cast<int>(t.cols),
              1.0, t.a.data(), static_cast<int>(t.cols), x, 1, 0.0, y, 1);
  return 0;
}

int tallTransposedProduct(const double* x, long, double* y, long, void* context) {
  const Tall& t = *static_cast<const Tall*>(context);
  cblas_dgemv(CblasRowMajor, CblasTrans, static_cast<int>(t.rows), static_cast<int>(t.cols), 1.0,
              t.a.data(), static_cast<int>(t.cols), x, 1, 0.0, y, 1);
  return 0;
}

void solveTall(benchmark::State& st, const char* method) {
  Tall t;
  std::vector<double> x0(static_cast<std::size_t>(t.cols), 0.0), x(x0.size()), y(t.b.size());
  QuietStderr quiet;
  long iterations = 0;
  for (auto _ : st) {
    IterativeResult res{};
    const double* dense = method[0] == 'm' ? t.a.data() : nullptr;
    zelkcomp_linsolve(method, dense, t.b.data(), x0.data(), x.data(), y.data(), t.rows, t.cols,
                      tallProduct, tallTransposedProduct, nullptr, nullptr, &res, nullptr,
                      nullptr, 0, &t);
    iterations += res.it;
  }
  st.counters["it"] =
      benchmark::Counter(static_cast<double>(iterations), benchmark::Counter::kAvgIterations);
}

void BM_Lsrn20000x100(benchmark::State& st) { solveTall(st, "lsrn"); }
BENCHMARK(BM_Lsrn20000x100)->Unit(benchmark::kMillisecond);

void BM_DenseLeastSquares20000x100(benchmark::State& st) { solveTall(st, "mvsolve"); }
BENCHMARK(BM_DenseLeastSquares20000x100)->Unit(benchmark::kMillisecond);

// The numbers of one "lsrn" sketch of that problem: 200 vectors of 20000.
void BM_SketchRandomNumbers(benchmark::State& st) {
  std::valarray<double> v(20000);
  for (auto _ : st) {
    for (int k = 0; k < 200; ++k) randfill(v);
    benchmark::DoNotOptimize(&v[0]);
  }
  st.SetItemsProcessed(st.iterations() * 200 * 20000);
}
BENCHMARK(BM_SketchRandomNumbers)->Unit(benchmark::kMillisecond);

}  // namespace
