#include "dense/fp_class.h"

// The block tests run over every value a host call writes (the residuals
// of each line-search trial among them) and over the solvers' vectors
// before their plain kernels. Where the processor has AVX2 they take four
// entries to an instruction instead of SSE2's two; the clone is chosen
// once, when the library is loaded.

[[gnu::target_clones("avx2", "default")]] bool allFiniteBits(const double* p,
                                                             std::size_t n) noexcept {
  return fp_bits::allBelowPowerOfTwo<1024>(p, n);
}

[[gnu::target_clones("avx2", "default")]] bool allProductSafe(const double* p,
                                                              std::size_t n) noexcept {
  return fp_bits::allBelowPowerOfTwo<480>(p, n);
}
