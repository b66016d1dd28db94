#pragma once
// A linear operator supplied by the host as a C callback, wrapped as a
// SizedVectorOperator so that every iterative solver can use it.
//
// A failing callback (non-zero return) never raises: the operator reports it
// on standard error and, when the solve has an IterationControl, records it
// there (state 2, value = the return code, one extra call counted), so a
// solver that polls the record stops at its next check.

#include <cstdint>

#include "linear/iteration_control.h"
#include "linear/sized_operator.h"
#include "zelk/zelkcomp.h"

// Writes prefix, "Function callback returned non-zero status code: ", rc and
// a line end to standard error, as one write.
void reportCallbackFailure(const char* prefix, long rc);

class ExternalVectorFunction : public SizedVectorOperator {
 public:
  ExternalVectorCallback fn;  // held by value: the caller's variable may go
  void* context;              // option "context"
  IterationControl* control;  // option "control"; may be null

  // options must hold "context" and "control" as pointers (either may be
  // null) and "dim_m" as a non-negative long. A missing key raises
  // std::out_of_range naming it, another kind std::bad_variant_access, a
  // negative "dim_m" std::invalid_argument.
  ExternalVectorFunction(ExternalVectorCallback fn_, const OptionMap& options_);

  // y = "dim_m" zeros, then fn(x, x.size(), y, dim_m, context); counts the
  // call in control. A null callback raises std::invalid_argument.
  std::valarray<double> operator()(const std::valarray<double>& x) const override;

 private:
  long outputLength;
};
