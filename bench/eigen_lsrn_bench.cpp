// The eigen solvers and LSRN on problems of the sizes the drivers meet:
//   - block LOBPCG for the smallest eigenvalue of tridiag(-1, 2, -1), n = 400,
//     block of 4, as the eigenvalue finder runs it on a Hessian;
//   - 2000 steps of the power iteration for the largest one;
//   - "lsrn2" against "cgnormal" on a dense 2000 x 50 least-squares problem
//     with condition near 1e4, through the entry point (host callbacks).
// The counters report solver iterations.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <valarray>
#include <vector>

#include "bench/quiet_stderr.h"
#include "dense/matrix.h"
#include "eigen/lobpcg.h"
#include "eigen/lobpcg_blocks.h"
#include "eigen/power_iteration.h"
#include "linear/iteration_control.h"
#include "zelk/zelkcomp.h"

namespace {

MatrixTemplate<double> secondDifference(std::size_t n) {
  MatrixTemplate<double> A(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    A(i, i) = 2.0;
    if (i + 1 < n) A(i, i + 1) = A(i + 1, i) = -1.0;
  }
  return A;
}

struct BlockProduct {
  const MatrixTemplate<double>* A;
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
    MatrixTemplate<double> R;
    do_mult_blas(*A, V, R, false);
    return R;
  }
};

struct Identity {
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& R) const { return R; }
};

void BM_LobpcgSmallest(benchmark::State& st) {
  const std::size_t n = 400;
  const MatrixTemplate<double> A = secondDifference(n);
  for (auto _ : st) {
    Lobpcg<BlockProduct, Identity> solver(BlockProduct{&A}, Identity{}, n, 1e-9, 2000);
    MatrixTemplate<double> X = lobpcg_blocks::randomBlock(n, 4), Y;
    std::valarray<double> lambda, theta;
    solver.solve(X, Y, lambda, 1, theta);
    benchmark::DoNotOptimize(lambda.size());
  }
}
BENCHMARK(BM_LobpcgSmallest)->Unit(benchmark::kMillisecond);

void BM_PowerIterationLargest(benchmark::State& st) {
  const std::size_t n = 400;
  const MatrixTemplate<double> A = secondDifference(n);
  auto product = [&A](const std::valarray<double>& x) { return matrixVectorProduct(A, x); };
  IterationControl control{};
  const SizedVectorFunction<decltype(product)> op(
      {{"dim_m", static_cast<long>(n)}, {"dim_n", static_cast<long>(n)}, {"tol", 1e-8},
       {"maxit", 2000L}, {"control", static_cast<void*>(&control)}},
      product);
  QuietStderr quiet;
  long steps = 0;
  for (auto _ : st) {
    std::valarray<double> x(1.0, n);
    x[0] = 2.0;
    double value = 0.0;
    const OptionMap status = Zelk::maxeigen(op, x, &value);
    steps += std::get<long>(status.at("it"));
  }
  st.counters["steps"] = benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PowerIterationLargest)->Unit(benchmark::kMillisecond);

struct Dense {
  long rows, cols;
  std::vector<double> a;
};

int product(const double* x, long n, double* y, long m, void* context) {
  const Dense& d = *static_cast<const Dense*>(context);
  for (long i = 0; i < m; ++i) {
    double s = 0.0;
    for (long j = 0; j < n; ++j) s += d.a[static_cast<std::size_t>(i * d.cols + j)] * x[j];
    y[i] = s;
  }
  return 0;
}

int transposedProduct(const double* x, long n, double* y, long m, void* context) {
  const Dense& d = *static_cast<const Dense*>(context);
  for (long j = 0; j < m; ++j) y[j] = 0.0;
  for (long i = 0; i < n; ++i)
    for (long j = 0; j < m; ++j) y[j] += d.a[static_cast<std::size_t>(i * d.cols + j)] * x[i];
  return 0;
}

void BM_LeastSquares(benchmark::State& st, const char* method) {
  Dense d{2000, 50, std::vector<double>(2000 * 50)};
  for (long i = 0; i < d.rows; ++i)
    for (long j = 0; j < d.cols; ++j) {
      const double t = std::sin(12.9898 * i + 78.233 * j) * 43758.5453;
      d.a[static_cast<std::size_t>(i * d.cols + j)] =
          (t - std::floor(t) - 0.5) * std::pow(10.0, -4.0 * j / 49.0);
    }
  std::vector<double> b(2000), x0(50, 0.0), x(50), y(2000);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::cos(0.05 * static_cast<double>(i));
  const char* names[] = {"tol", "itctrl.slowtol", "itctrl.cycletol"};
  const double values[] = {1e-12, -1.5, -1.5};
  QuietStderr quiet;
  long iterations = 0;
  for (auto _ : st) {
    IterativeResult res{};
    zelkcomp_linsolve(method, nullptr, b.data(), x0.data(), x.data(), y.data(), d.rows, d.cols,
                      product, transposedProduct, nullptr, nullptr, &res, names, values, 3, &d);
    iterations += res.it;
  }
  st.counters["iterations"] =
      benchmark::Counter(static_cast<double>(iterations), benchmark::Counter::kAvgIterations);
}
BENCHMARK_CAPTURE(BM_LeastSquares, lsrn2, "lsrn2")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LeastSquares, cgnormal, "cgnormal")->Unit(benchmark::kMillisecond);

}  // namespace
