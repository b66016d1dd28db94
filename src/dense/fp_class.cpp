#include "dense/fp_class.h"

// The block tests run over every value a host call writes (the residuals
// of each line-search trial among them) and over the solvers' vectors
// before their plain kernels. Where the processor has AVX2 they take four
// entries to an instruction instead of SSE2's two. The choice is made by
// hand on the first call, not by an ifunc (target_clones): a resolver runs
// while the library is being relocated, before a sanitizer's runtime is
// up, and crashes the ThreadSanitizer build.

namespace {

bool wideUnits() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

// The same passes compiled for AVX2, run only where wideUnits() says so.
#if defined(__x86_64__)
[[gnu::target("avx2")]]
#endif
bool allFiniteWide(const double* p, std::size_t n) noexcept {
  return fp_bits::allBelowPowerOfTwo<1024>(p, n);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]]
#endif
bool allProductSafeWide(const double* p, std::size_t n) noexcept {
  return fp_bits::allBelowPowerOfTwo<480>(p, n);
}

}  // namespace

bool allFiniteBits(const double* p, std::size_t n) noexcept {
  static const bool wide = wideUnits();
  return wide ? allFiniteWide(p, n) : fp_bits::allBelowPowerOfTwo<1024>(p, n);
}

bool allProductSafe(const double* p, std::size_t n) noexcept {
  static const bool wide = wideUnits();
  return wide ? allProductSafeWide(p, n) : fp_bits::allBelowPowerOfTwo<480>(p, n);
}
