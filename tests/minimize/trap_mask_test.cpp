// The driver's trap switch must leave the floating-point state exactly as
// the <fenv.h> calls would: traps, pending flags, rounding and the denormal
// mask of both the x87 unit and SSE.

#include <fenv.h>

#include <tuple>

#include <gtest/gtest.h>

#include "minimize/host_environment.h"

namespace {

void referenceTrapMask(int traps) {
  feclearexcept(FE_ALL_EXCEPT);
  fedisableexcept(FE_ALL_EXCEPT & ~traps);
  if (traps != 0) feenableexcept(traps);
}

// x87 control word, x87 exception flags, MXCSR.
std::tuple<unsigned, unsigned, unsigned> currentState() {
  fenv_t env;
  fegetenv(&env);
  return {env.__control_word, env.__status_word & 0x3fu, env.__mxcsr};
}

TEST(TrapMask, SameStateAsTheFenvCalls) {
  fenv_t saved;
  fegetenv(&saved);
  const int masks[] = {0, FE_INVALID | FE_OVERFLOW, FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW,
                       FE_ALL_EXCEPT, FE_UNDERFLOW | FE_INEXACT};
  const int rounding[] = {FE_TONEAREST, FE_UPWARD, FE_TOWARDZERO};
  for (int from : masks)
    for (int to : masks)
      for (int mode : rounding) {
        // Start from `from` with every flag pending and a non-default rounding.
        auto prepare = [&] {
          fesetenv(FE_DFL_ENV);
          fesetround(mode);
          referenceTrapMask(from);
          feraiseexcept(FE_ALL_EXCEPT & ~from);
        };
        prepare();
        referenceTrapMask(to);
        const auto want = currentState();
        prepare();
        setTrapMask(to);
        const auto got = currentState();
        fesetenv(&saved);
        EXPECT_EQ(got, want) << from << " -> " << to << " rounding " << mode;
      }
}

}  // namespace
