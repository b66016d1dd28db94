#include "dense/argsort.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

std::valarray<std::size_t> argsort(const std::valarray<double>& x) {
  std::vector<std::pair<double, std::size_t>> pairs(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) pairs[i] = {x[i], i};
  // A plain `<` on values with NaNs is not a strict weak ordering, which
  // std::sort needs; ordering every NaN after every number restores it.
  std::sort(pairs.begin(), pairs.end(), [](const auto& p, const auto& q) {
    if (std::isnan(p.first)) return false;
    return std::isnan(q.first) || p.first < q.first;
  });
  std::valarray<std::size_t> idx(x.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) idx[k] = pairs[k].second;
  return idx;
}
