#include "dense/dataframe.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

std::valarray<double> toValarray(const std::vector<double>& v) {
  return std::valarray<double>(v.data(), v.size());
}

std::size_t rowCount(const DataFrame& t) { return t.values.empty() ? 0 : t.values.front().size(); }

// head followed by `tail`, or by `zeros` zeros when tail is null.
std::valarray<double> joined(const std::valarray<double>& head, const std::valarray<double>* tail,
                             std::size_t zeros) {
  const std::size_t n = tail ? tail->size() : zeros;
  std::valarray<double> r(head.size() + n);
  for (std::size_t i = 0; i < head.size(); ++i) r[i] = head[i];
  if (tail)
    for (std::size_t i = 0; i < n; ++i) r[head.size() + i] = (*tail)[i];
  return r;
}

}  // namespace

DataFrame::DataFrame(std::string name1, const std::vector<double>& column1, std::string name2,
                     const std::vector<double>& column2, std::string name3,
                     const std::vector<double>& column3)
    : names{std::move(name1), std::move(name2), std::move(name3)},
      values{toValarray(column1), toValarray(column2), toValarray(column3)} {}

DataFrame& DataFrame::moveAssign(DataFrame&& other) noexcept {
  if (this == &other) return *this;
  names = std::move(other.names);
  values = std::move(other.values);
  missing = std::move(other.missing);
  other.names.clear();
  other.values.clear();
  std::valarray<double>().swap(other.missing);
  return *this;
}

std::valarray<double>& DataFrame::getvector(const std::string& name) {
  auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end() || static_cast<std::size_t>(it - names.begin()) >= values.size())
    return missing;
  return values[static_cast<std::size_t>(it - names.begin())];
}

DataFrame DataFrame::operator[](const std::valarray<std::size_t>& idx) const {
  DataFrame r;
  r.names = names;
  r.missing = missing;
  r.values.reserve(values.size());
  const std::size_t top = idx.size() ? idx.max() : 0;
  for (std::size_t c = 0; c < values.size(); ++c) {
    if (idx.size() && top >= values[c].size())
      throw std::out_of_range(
          fmt::format("DataFrame: row {} selected from column \"{}\" of {} rows", top,
                      c < names.size() ? names[c] : "", values[c].size()));
    r.values.push_back(values[c][idx]);
  }
  return r;
}

DataFrame DataFrame::operator[](const std::valarray<bool>& mask) const {
  DataFrame r;
  r.names = names;
  r.missing = missing;
  r.values.reserve(values.size());
  for (std::size_t c = 0; c < values.size(); ++c) {
    if (mask.size() != values[c].size())
      throw std::invalid_argument(
          fmt::format("DataFrame: mask of {} entries for column \"{}\" of {} rows", mask.size(),
                      c < names.size() ? names[c] : "", values[c].size()));
    r.values.push_back(values[c][mask]);
  }
  return r;
}

DataFrame rbind(const DataFrame& a, const DataFrame& b) {
  DataFrame r(a);
  const std::size_t aRows = rowCount(a), bRows = rowCount(b);
  const std::size_t aCols = std::min(r.names.size(), r.values.size());
  std::vector<bool> extended(aCols, false);
  for (std::size_t j = 0; j < std::min(b.names.size(), b.values.size()); ++j) {
    const std::string& name = b.names[j];
    std::size_t i = 0;
    while (i < aCols && (extended[i] || r.names[i] != name)) ++i;
    if (i < aCols) {
      r.values[i] = joined(r.values[i], &b.values[j], 0);
      extended[i] = true;
    } else {
      r.names.push_back(name);
      r.values.push_back(joined(std::valarray<double>(aRows), &b.values[j], 0));
    }
  }
  for (std::size_t i = 0; i < aCols; ++i)
    if (!extended[i]) r.values[i] = joined(r.values[i], nullptr, bRows);
  return r;
}
