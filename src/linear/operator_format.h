#pragma once
// The one-line printer of an operator's options, as the solver traces show
// them:
//
//   Operator({{"dim_m", 3}, {"tol", 1e-15}, {"name", text}, {"control", }})
//
// Entries in key order. A long prints as an integer, a double like printf's
// %.Pg with P the stream's current precision, a string as its text and a
// pointer as nothing.

#include <ostream>

#include "options/option_map.h"

struct ShowOperator {
  const OptionMap* options;
  explicit ShowOperator(const OptionMap& o) : options(&o) {}
};

std::ostream& operator<<(std::ostream& os, const ShowOperator& op);
