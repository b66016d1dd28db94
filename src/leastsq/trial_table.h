#pragma once
// Trial tables of the line searches: a DataFrame with one row per trial and
// the columns "alpha" (step length), "J" (objective), "wc" (Wolfe code) and
// a slope column, "d" (always 0) in the tables of the sweeps and grids, "dJ"
// in the table of accepted refinement trials.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dense/dataframe.h"
#include "driver/ls_result.h"
#include "leastsq/line_search_context.h"

// The rows of a table while it is being built.
class TrialRows {
 public:
  void add(const Trial& trial, double slope) {
    alpha_.push_back(trial.alpha);
    J_.push_back(trial.J);
    code_.push_back(trial.code);
    slope_.push_back(slope);
  }

  // The table "alpha", "J", "wc", then the slopes under slopeName.
  DataFrame table(const std::string& slopeName) const;

 private:
  std::vector<double> alpha_, J_, code_, slope_;
};

// The row picked by the rule "min": the first row whose "J" is strictly
// below every earlier one, starting from +infinity. NaN rows are never
// picked, nor a row of +infinity; none for a table without such a row.
std::optional<std::size_t> minRow(DataFrame& table);

// The table with its rows in ascending order of "alpha".
DataFrame sortedByAlpha(DataFrame& table);

// The result of a search that chose row i of its table: the row's
// objective, step length and Wolfe code, the given slope value and the
// search's sign, with the table itself.
LSResult chosenTrial(DataFrame table, std::size_t i, double slope, double directionSign);
