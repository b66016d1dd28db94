#pragma once
// A scope in which floating-point exceptions never trap.
//
// Diagnostics that summarise arbitrary data (a sum of entries that may hold
// opposite infinities, the difference of two huge vectors) cannot guard
// every operation one by one, and BLAS and LAPACK compute overflowing
// intermediates on purpose (their scaling steps). Inside a QuietFpScope
// every operation gives its IEEE default result (NaN, a signed infinity)
// without raising SIGFPE; on leaving it the caller's trap mask and
// exception flags are back exactly as they were, so the flags raised
// inside do not leak either.
//
// The compiler does not know that the trap mask matters: it moves
// arithmetic on values held in registers across the two switches (a
// difference computed after the scope because its result is used only
// there, a loop-invariant product hoisted out of the loop that holds the
// scope). So:
//   - quietly(compute) and runQuietIf run their formula in a function of
//     its own that is never inlined: its operands are read, and its result
//     produced, between the two switches;
//   - a QuietFpScope object orders memory only (its switches clobber
//     memory): the arithmetic it protects must read its operands from
//     memory inside the scope and store its results there, or pass the
//     register values that cross its ends through fpBarrier.

#include <fenv.h>

#include <type_traits>
#include <utility>

#include "dense/fp_barrier.h"

class QuietFpScope {
 public:
  QuietFpScope() noexcept { enter(); }
  ~QuietFpScope() { leave(); }
  QuietFpScope(const QuietFpScope&) = delete;
  QuietFpScope& operator=(const QuietFpScope&) = delete;

 private:
#if defined(__x86_64__)
  // The SSE unit's control and status register and the x87 unit's control
  // and status words: reading and writing them directly costs a few cycles,
  // where the <fenv.h> environment calls cost a hundred or more, and BLAS
  // calls of the solvers' small vectors come by the thousand.
  unsigned int csr_ = 0;
  unsigned short x87Control_ = 0, x87Status_ = 0;

  void enter() noexcept {
    __asm__ volatile("stmxcsr %0" : "=m"(csr_) : : "memory");
    __asm__ volatile("fnstcw %0" : "=m"(x87Control_) : : "memory");
    __asm__ volatile("fnstsw %0" : "=m"(x87Status_) : : "memory");
    const unsigned int csr = csr_ | (FE_ALL_EXCEPT << 7);  // every exception masked
    const unsigned short control = static_cast<unsigned short>(x87Control_ | FE_ALL_EXCEPT);
    __asm__ volatile("ldmxcsr %0" : : "m"(csr) : "memory");
    __asm__ volatile("fldcw %0" : : "m"(control) : "memory");
  }
  void leave() noexcept {
    unsigned short status;
    __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
    // x87 flags raised inside must go before its traps come back, or the
    // next x87 instruction would trap on them.
    if ((status & FE_ALL_EXCEPT) != (x87Status_ & FE_ALL_EXCEPT)) restoreX87Flags();
    __asm__ volatile("fldcw %0" : : "m"(x87Control_) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(csr_) : "memory");  // mask and flags
  }
  void restoreX87Flags() noexcept {
    if ((x87Status_ & FE_ALL_EXCEPT) == 0) {
      __asm__ volatile("fnclex" : : : "memory");
      return;
    }
    fenv_t env;
    fegetenv(&env);
    env.__status_word = static_cast<unsigned short>((env.__status_word & ~FE_ALL_EXCEPT) |
                                                    (x87Status_ & FE_ALL_EXCEPT));
    fesetenv(&env);
  }
#else
  fenv_t saved_;
  void enter() noexcept {
    feholdexcept(&saved_);
    fpMemoryBarrier();
  }
  void leave() noexcept {
    fpMemoryBarrier();
    fesetenv(&saved_);
  }
#endif
};

namespace quiet_scope_detail {

template <class Compute>
[[gnu::noinline]] auto runQuiet(Compute& compute) {
  const QuietFpScope scope;
  if constexpr (std::is_void_v<decltype(compute())>) {
    compute();
    fpMemoryBarrier();
  } else {
    auto result = compute();
    fpKeep(result);
    return result;
  }
}

}  // namespace quiet_scope_detail

// The value of compute(), evaluated inside a QuietFpScope: a formula over
// values that may be huge, infinite or NaN gives its IEEE result.
template <class Compute>
auto quietly(Compute&& compute) {
  return quiet_scope_detail::runQuiet(compute);
}

// Runs f, inside a QuietFpScope when `quiet` is set: the rare steps of a
// solver that meet non-finite values pay for the scope, the ordinary ones
// do not.
template <class F>
void runQuietIf(bool quiet, F&& f) {
  if (quiet)
    quiet_scope_detail::runQuiet(f);
  else
    f();
}
