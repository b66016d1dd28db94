#pragma once
// Trial table of the line searches: named columns of doubles, one row per
// trial.

#include <cstddef>
#include <string>
#include <valarray>
#include <vector>

class DataFrame {
 public:
  std::vector<std::string> names;             // column names, in column order
  std::vector<std::valarray<double>> values;  // the columns, parallel to names
  std::valarray<double> missing;              // what getvector answers for an unknown name

  DataFrame() = default;
  // Three columns in the order given.
  DataFrame(std::string name1, const std::vector<double>& column1, std::string name2,
            const std::vector<double>& column2, std::string name3,
            const std::vector<double>& column3);

  DataFrame(const DataFrame&) = default;
  DataFrame(DataFrame&&) noexcept = default;
  DataFrame& operator=(const DataFrame&) = default;
  DataFrame& operator=(DataFrame&& other) noexcept { return moveAssign(std::move(other)); }

  // Takes over other's names, columns and fallback; leaves other empty.
  DataFrame& moveAssign(DataFrame&& other) noexcept;

  // The first column named `name` (exact match), or `missing` when there is
  // none.
  std::valarray<double>& getvector(const std::string& name);

  // The rows at the given indices, in the list's order (repeats allowed).
  // Throws std::out_of_range when an index is not below a column's length.
  DataFrame operator[](const std::valarray<std::size_t>& idx) const;

  // The rows where mask is true, in order. Throws std::invalid_argument when
  // the mask is not exactly as long as every column.
  DataFrame operator[](const std::valarray<bool>& mask) const;
};

// a's rows followed by b's, columns matched by name (the k-th column of a
// name in b continues the k-th column of that name in a), the result keeping
// a's column order. A column of b that a lacks is appended after a's columns,
// zero for a's rows; a column of a that b lacks gets zeros for b's rows, so
// every column of the result has the same length. Row counts are taken from
// each table's first column.
DataFrame rbind(const DataFrame& a, const DataFrame& b);
