// The sorted least-squares line search: refinement by repeated grids.
//
//   1. T = the three sweeps (144 trials), each entered in the trial cache.
//   2. a* = the best step of T; T += a grid up from a* / 10 to a* and one
//      down from a* / 10 to a* / 100.
//   3. "nsweeps" passes (default 3): with T sorted by alpha, a = its best
//      step, lo / hi the step lengths five rows below / above it (fewer at
//      the ends; "alphamin" below the lowest, 1 above the highest row),
//      T += grids from a to hi, to 50 a, to lo and to a / 10. The passes
//      centre on the best trial, valid or not.
//   4. Only the trials that pass the "wolcheck" level stay; "alphasafe" 2
//      keeps only alpha <= 1, "alphasafe" 1 does so once the best objective
//      left is at most "alphasafeJ".
//   5. The result is the best trial left; its "slope" is its step length.
// The grids move repeats to fresh step lengths, so a search with the
// defaults makes exactly 144 + 2 * 12 + 3 * 4 * 12 = 312 trials.
//
// A table without a finite objective where a best step is needed ends the
// search with the no-step result.

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "dense/quiet_compare.h"
#include "leastsq/line_search.h"
#include "leastsq/line_search_record.h"
#include "leastsq/step_sweeps.h"
#include "leastsq/trial_table.h"
#include "leastsq/wolfe_code.h"
#include "options/opts.h"

namespace {

constexpr std::size_t kNeighbourRows = 5;

// Records every sweep trial and enters it in the cache.
void enterSweep(LineSearchContext& context, DataFrame& T, const std::string& name) {
  const std::valarray<double>& alpha = T.getvector("alpha");
  const std::valarray<double>& J = T.getvector("J");
  const std::valarray<double>& slope = T.getvector("d");
  const std::valarray<double>& code = T.getvector("wc");
  const std::valarray<double> none;
  for (std::size_t i = 0; i < alpha.size(); ++i) {
    recordLineSearchPoint(context.task, none, none, static_cast<int>(code[i]), name, alpha[i], J[i],
                          slope[i]);
    context.trialCache[alpha[i]] = J[i];
  }
}

void append(DataFrame& T, const DataFrame& rows) { T = rbind(T, rows); }

// One refinement pass; false when T has no finite objective to centre on.
bool refinementPass(LineSearchContext& context, DataFrame& T, const std::string& name) {
  T = sortedByAlpha(T);
  const std::optional<std::size_t> best = minRow(T);
  if (!best) return false;
  const std::size_t i = *best;
  const std::valarray<double>& alpha = T.getvector("alpha");
  const std::size_t last = alpha.size() - 1;
  const double a = alpha[i];
  const double lo = i == 0 ? opts.alphamin : alpha[i - std::min(i, kNeighbourRows)];
  const double hi = i < last ? alpha[i + std::min(last - i, kNeighbourRows)] : 1.0;
  append(T, evalStepGrid(a, hi, context, name));
  append(T, evalStepGrid(a, 50 * a, context, name));
  append(T, evalStepGrid(a, lo, context, name));
  append(T, evalStepGrid(a, a / 10, context, name));
  return true;
}

// The rows a step cap keeps by "alphasafe".
void capSteps(DataFrame& T) {
  const int rule = opts.alphasafe;
  if (rule != 1 && rule != 2) return;
  const std::valarray<double>& alpha = T.getvector("alpha");
  if (alpha.size() == 0) return;
  if (rule == 1) {
    double Jmin = std::numeric_limits<double>::infinity();
    for (double J : T.getvector("J")) Jmin = std::fmin(Jmin, J);
    if (!quietLessEqual(Jmin, opts.alphasafeJ)) return;
  }
  std::valarray<bool> keep(false, alpha.size());
  for (std::size_t i = 0; i < alpha.size(); ++i) keep[i] = alpha[i] <= 1.0;
  T = T[keep];
}

}  // namespace

LSResult lineSearchSorted(LineSearchContext& context, const std::string& name) {
  if (zeroSlope(context, name)) return LSResult();
  DataFrame T = sweepStepLengths(context);
  enterSweep(context, T, name);

  const std::optional<std::size_t> best = minRow(T);
  if (!best) return LSResult();
  const double tenth = 0.1 * T.getvector("alpha")[*best];
  append(T, evalStepGrid(tenth, tenth * 10, context, name));
  append(T, evalStepGrid(tenth, tenth / 10, context, name));

  for (unsigned pass = 0; pass < opts.nsweeps; ++pass)
    if (!refinementPass(context, T, name)) return LSResult();

  selectValid(T);
  capSteps(T);
  T = sortedByAlpha(T);
  const std::optional<std::size_t> chosen = minRow(T);
  if (!chosen) return LSResult();
  const double alpha = T.getvector("alpha")[*chosen];
  return chosenTrial(std::move(T), *chosen, alpha, context.directionSign);
}
