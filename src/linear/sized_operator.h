#pragma once
// Operators that carry an option map: their dimensions ("dim_m", the length
// of an output vector; "dim_n", the length of an input vector) and any
// settings of the solver they are handed to.
//
// Readers take a value only in the kind they expect: a long entry is never
// converted to double or back, and a wrong kind raises
// std::bad_variant_access.

#include <string>
#include <utility>

#include "linear/operator_interfaces.h"
#include "options/option_map.h"

class SizedOperator {
 public:
  OptionMap options;

  SizedOperator() = default;
  explicit SizedOperator(OptionMap options_) : options(std::move(options_)) {}

  // The long under key, or def when key is missing.
  long geti(const std::string& key, long def) const;
  // The double under key, or def when key is missing.
  double getf(const std::string& key, double def) const;
  // The long under "dim_m" / "dim_n"; a missing key raises std::out_of_range
  // naming it.
  long dim_m() const;
  long dim_n() const;
};

// The double / long under key; a missing key or another kind raises
// std::bad_variant_access.
double getf_required(const SizedOperator& ops, const std::string& key);
long geti_required(const SizedOperator& ops, const std::string& key);

// A vector operator with its option map; the operand type of the solvers.
class SizedVectorOperator : public SizedOperator, public VectorOperator {
 public:
  explicit SizedVectorOperator(OptionMap options_) : SizedOperator(std::move(options_)) {}
};

class SizedMatrixOperator : public SizedOperator, public MatrixOperator {
 public:
  explicit SizedMatrixOperator(OptionMap options_) : SizedOperator(std::move(options_)) {}
};

class SizedMMPOperator : public SizedOperator, public MMPOperator {
 public:
  explicit SizedMMPOperator(OptionMap options_) : SizedOperator(std::move(options_)) {}
};

// Gives any callable (a lambda, another operator) an option map. Holds a
// reference to the callable, which must outlive this object; binding a
// temporary is refused at compile time.
template <class Op>
class SizedVectorFunction : public SizedVectorOperator {
 public:
  const Op& op;

  SizedVectorFunction(OptionMap options_, const Op& op_)
      : SizedVectorOperator(std::move(options_)), op(op_) {}
  SizedVectorFunction(OptionMap, const Op&&) = delete;

  std::valarray<double> operator()(const std::valarray<double>& x) const override {
    return op(x);
  }
};
