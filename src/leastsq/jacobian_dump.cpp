// Jacobian dumps (option "dump" bit 0x20): one MAT file per iteration.
// Without a Jacobian callback, column j of J is the product J e_j, one
// host call per column.

#include <fmt/format.h>

#include <cstdio>
#include <string>

#include "driver/mat4_file.h"
#include "leastsq/jacobian_checks.h"
#include "options/opts.h"

void dumpJacobian(TrovikOptimizationTask& task, const std::valarray<double>& x,
                  std::valarray<double>& r, const MatrixTemplate<double>& J, long iteration) {
  const std::string name = fmt::format("Jac{:04d}", iteration);
  bool written = false;
  if (J.elements.size() != 0) {
    written = dumpMat4File(J, name);
  } else {
    const std::size_t m = r.size(), n = x.size();
    MatrixTemplate<double> built(m, n);
    std::valarray<double> unit(0.0, n), column(0.0, m);
    for (std::size_t j = 0; j < n; ++j) {
      unit[j] = 1.0;
      task.JVeval(x, r, unit, column);
      unit[j] = 0.0;
      for (std::size_t i = 0; i < m; ++i) built(i, j) = column[i];
    }
    written = dumpMat4File(built, name);
  }
  if (written && (opts.trace & 0x1))
    std::fprintf(stderr, "Saved Jacobian to %s.mat\n", name.c_str());
}
