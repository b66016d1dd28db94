#pragma once
// The least-squares line searches. Both start from the objective's slope
// g0 along the direction (a zero slope is reported, status bit 0x40, and
// gives the no-step result without a trial) and from the three sweeps of
// sweepStepLengths, and they return an LSResult: the objective J and step
// length alpha of the chosen trial, the sign the driver steps with (the
// point is x + sign * alpha * d), the table the choice was made from and
// the trial's Wolfe code. Without an acceptable trial they return the
// no-step result (a default-built LSResult).
//
// lineSearch runs lineSearchSorted when "lstype" is 1 (the default) and
// lineSearchSweep otherwise. `name` is the direction's name, used in
// messages and recorded trials.

#include <string>

#include "driver/ls_result.h"
#include "leastsq/line_search_context.h"

LSResult lineSearch(LineSearchContext& context, const std::string& name);

// Repeated grids around the best step (line_search_sorted.cpp).
LSResult lineSearchSorted(LineSearchContext& context, const std::string& name);

// The best step of the sweeps, refined by a damped Newton iteration on the
// objective along the line (line_search_sweep.cpp).
LSResult lineSearchSweep(LineSearchContext& context, const std::string& name);
