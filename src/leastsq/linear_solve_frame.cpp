#include "leastsq/linear_solve_frame.h"

#include "linear/sized_operator.h"
#include "options/opts.h"

namespace {

SizedOperator checkerOptions() {
  return SizedOperator(OptionMap{{"histlen", opts.itctrl_histlen},
                                 {"slowtol", opts.itctrl_slowtol},
                                 {"cycletol", opts.itctrl_cycletol},
                                 {"estalpha", opts.itctrl_estalpha}});
}

}  // namespace

LinearSolveFrame::LinearSolveFrame() : checker(checkerOptions()) {}

OptionMap LinearSolveFrame::solverOptions() {
  return OptionMap{{"tol", opts.cgtol},
                   {"maxit", opts.cgmaxit},
                   {"cgmode", static_cast<long>(opts.cgmode)},
                   {"cgreset", static_cast<long>(opts.cgreset)},
                   {"cgrec", static_cast<long>(opts.cgrec)},
                   {"control", static_cast<void*>(&control)},
                   {"histcheck", static_cast<void*>(&checker)}};
}

OptionMap dimensions(std::size_t rows, std::size_t cols) {
  return OptionMap{{"dim_m", static_cast<long>(rows)}, {"dim_n", static_cast<long>(cols)}};
}
