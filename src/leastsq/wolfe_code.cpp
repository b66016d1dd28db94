#include "leastsq/wolfe_code.h"

#include <cmath>
#include <cstddef>

#include "dense/length_check.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "options/opts.h"

std::valarray<bool> wolfeFlags(double J, double g, double alpha, double f0, double g0, int level) {
  std::valarray<bool> flags(false, 4);
  if (!quietLess(J, f0)) return flags;
  flags[0] = true;
  if (level < 1) return flags;
  const double c1 = opts.c1, c2 = opts.c2;
  // The bounds may meet huge or infinite slopes: IEEE values, no trap.
  const double decreaseBound = quietly([&] { return f0 + c1 * alpha * g0; });
  const double curvatureBound = quietly([&] { return c2 * g0; });
  flags[1] = quietLessEqual(J, decreaseBound);
  if (level < 2) return flags;
  flags[2] = quietLessEqual(-g, -curvatureBound);
  if (level < 3) return flags;
  flags[3] = quietLessEqual(std::fabs(g), std::fabs(curvatureBound));
  return flags;
}

int wccode(const std::valarray<bool>& flags) {
  requireSameLength(flags.size(), 4, "wccode: a Wolfe code has four flags");
  return int(flags[0]) | int(flags[1]) << 1 | int(flags[2]) << 2 | int(flags[3]) << 3;
}

bool checkWolC(int code) {
  const int level = opts.wolcheck;
  if (level > 2) return (code & 15) == 15;
  if (level == 2) return (code & 7) == 7;
  if (level == 1) return (code & 3) == 3;
  return (code & 1) != 0;
}

bool checkWol(const std::valarray<bool>& flags) { return checkWolC(wccode(flags)); }

void selectValid(DataFrame& table) {
  if (opts.wolcheck < 1 || table.names.empty()) return;
  const std::valarray<double>& codes = table.getvector("wc");
  std::valarray<bool> keep(false, codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) keep[i] = checkWolC(static_cast<int>(codes[i]));
  table = table[keep];
}
