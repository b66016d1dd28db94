// Dense products and the Euclidean norm: the kernels every solver iteration
// runs. Sizes are square n x n products, matrix-vector products and vectors
// of n entries.

#include <benchmark/benchmark.h>

#include "dense/matrix.h"
#include "dense/norms.h"
#include "dense/random.h"

namespace {

MatrixTemplate<double> randomMatrix(std::size_t r, std::size_t c) {
  MatrixTemplate<double> m(r, c);
  randfill(m.elements);
  return m;
}

void BM_do_mult_blas(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = randomMatrix(n, n), b = randomMatrix(n, n);
  MatrixTemplate<double> r;
  for (auto _ : state) {
    do_mult_blas(a, b, r, false);
    benchmark::DoNotOptimize(r.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * n * n * n));
}
BENCHMARK(BM_do_mult_blas)->RangeMultiplier(4)->Range(8, 512);

void BM_transposedProduct(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = randomMatrix(n, n), b = randomMatrix(n, n);
  MatrixTemplate<double> r;
  for (auto _ : state) {
    r = transposed(a) * b;
    benchmark::DoNotOptimize(r.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * n * n * n));
}
BENCHMARK(BM_transposedProduct)->RangeMultiplier(4)->Range(8, 512);

void BM_multiplyAssign(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = randomMatrix(n, n), b = randomMatrix(n, n);
  for (auto _ : state) {
    auto r = a;
    r *= b;
    benchmark::DoNotOptimize(r.data());
  }
}
BENCHMARK(BM_multiplyAssign)->RangeMultiplier(4)->Range(8, 512);

void BM_matrixVectorProduct(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto a = randomMatrix(n, n);
  const auto x = randvec(static_cast<long>(n));
  for (auto _ : state) benchmark::DoNotOptimize(matrixVectorProduct(a, x));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * n * n));
}
BENCHMARK(BM_matrixVectorProduct)->RangeMultiplier(4)->Range(8, 2048);

void BM_normfro(benchmark::State& state) {
  const auto x = randvec(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(normfro(x));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_normfro)->RangeMultiplier(8)->Range(64, 1 << 20);

}  // namespace
