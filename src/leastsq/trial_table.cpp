#include "leastsq/trial_table.h"

#include <cmath>
#include <limits>
#include <utility>
#include <valarray>

#include "dense/argsort.h"
#include "dense/quiet_compare.h"

DataFrame TrialRows::table(const std::string& slopeName) const {
  DataFrame t("alpha", alpha_, "J", J_, "wc", code_);
  t.names.push_back(slopeName);
  t.values.emplace_back(slope_.data(), slope_.size());
  return t;
}

std::optional<std::size_t> minRow(DataFrame& table) {
  const std::valarray<double>& J = table.getvector("J");
  std::optional<std::size_t> best;
  double lowest = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < J.size(); ++i)
    if (quietLess(J[i], lowest)) {
      lowest = J[i];
      best = i;
    }
  return best;
}

DataFrame sortedByAlpha(DataFrame& table) {
  if (table.names.empty()) return table;
  return table[argsort(table.getvector("alpha"))];
}

LSResult chosenTrial(DataFrame table, std::size_t i, double slope, double directionSign) {
  LSResult result;
  result.J = table.getvector("J")[i];
  result.alpha = table.getvector("alpha")[i];
  result.slope = slope;
  result.sign = static_cast<int>(directionSign);
  result.code = static_cast<int>(table.getvector("wc")[i]);
  result.trials = std::move(table);
  return result;
}
