#pragma once
// The result of one line search along one direction. Both drivers keep one
// per kind of direction and iteration. A default-built LSResult is the
// no-step result.

#include "dense/dataframe.h"

struct LSResult {
  double J = -1.0;      // objective at the chosen trial; -1 when no step was found
  double alpha = 0.0;   // step length, never negative: the point is x + alpha * sign * d
  double slope = 0.0;   // d.g at x for the direction searched
  int sign = 0;         // +1 or -1: the sign of d the step uses
  DataFrame trials;     // the accepted trials ("J", "alpha"), by increasing alpha
  int code = 0;
};
