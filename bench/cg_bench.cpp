// Conjugate gradients on the second-difference matrix tridiag(-1, 2, -1),
// applied through a lambda, as the drivers instantiate the solver on their
// own closures. The count reported is the number of CG iterations.

#include <benchmark/benchmark.h>

#include <cmath>
#include <valarray>

#include "linear/cg_solver.h"

namespace {

std::valarray<double> secondDifference(const std::valarray<double>& x) {
  const std::size_t n = x.size();
  std::valarray<double> y(n);
  for (std::size_t i = 0; i < n; ++i)
    y[i] = 2.0 * x[i] - (i > 0 ? x[i - 1] : 0.0) - (i + 1 < n ? x[i + 1] : 0.0);
  return y;
}

void BM_CGSecondDifference(benchmark::State& st) {
  const auto n = static_cast<std::size_t>(st.range(0));
  std::valarray<double> xs(n);
  for (std::size_t i = 0; i < n; ++i) xs[i] = std::sin(0.01 * static_cast<double>(i));
  auto op = [](const std::valarray<double>& x) { return secondDifference(x); };
  const std::valarray<double> b = op(xs), x0(0.0, n);
  std::int64_t iterations = 0;
  for (auto _ : st) {
    CGSolver cg("CGSolver", static_cast<std::int64_t>(n), 1e-10, 1e-120, 1e14, 10 * n, op, 4, 0,
                0);
    const std::valarray<double> x = cg.solve(b, x0, nullptr, nullptr);
    benchmark::DoNotOptimize(&x[0]);
    iterations += cg.it;
  }
  st.SetItemsProcessed(iterations);
}
BENCHMARK(BM_CGSecondDifference)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
