// Dense decompositions on a 200 x 100 matrix, the size of a typical
// least-squares Jacobian block: the thin and full SVD, the symmetric eigen
// decomposition of its Gram matrix and the pivoted QR.

#include <benchmark/benchmark.h>

#include "bench/quiet_stderr.h"
#include "dense/decomposed_general.h"
#include "dense/decomposed_sym.h"
#include "dense/lap_qr.h"
#include "dense/random.h"

namespace {

MatrixTemplate<double> randomMatrix(std::size_t r, std::size_t c) {
  MatrixTemplate<double> m(r, c);
  randfill(m.elements);
  return m;
}

void BM_svd(benchmark::State& state) {
  const auto a = randomMatrix(200, 100);
  const SvdShape shape = state.range(0) ? SvdShape::thin : SvdShape::full;
  for (auto _ : state) {
    DecomposedGeneralMatrix d(a, shape);
    benchmark::DoNotOptimize(d.s[0]);
  }
}
BENCHMARK(BM_svd)->Arg(1)->Arg(0)->ArgName("thin");

void BM_syevd(benchmark::State& state) {
  const auto a = randomMatrix(200, 100);
  const MatrixTemplate<double> gram = transposed(a) * a;
  for (auto _ : state) {
    DecomposedSymMatrix_syevd d(gram);
    benchmark::DoNotOptimize(d.s[0]);
  }
}
BENCHMARK(BM_syevd);

void BM_pivoted_qr(benchmark::State& state) {
  const auto a = randomMatrix(200, 100);
  QuietStderr quiet;
  for (auto _ : state) {
    LapQRDecomposed f(a);
    benchmark::DoNotOptimize(f.R.data());
  }
}
BENCHMARK(BM_pivoted_qr);

}  // namespace
