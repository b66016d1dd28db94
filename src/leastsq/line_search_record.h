#pragma once
// Trials of the line searches as history records, for tracing a search
// (trace bit 0x400): "a" the step length, "d" the slope, "J" the objective,
// "wc" the Wolfe code and "m" the direction's name, appended to the run's
// history and handed to the iteration callback with the trial's point and
// residual (empty where the search no longer has them).

#include <string>
#include <valarray>

#include "leastsq/trovik_task.h"

void recordLineSearchPoint(TrovikOptimizationTask& task, const std::valarray<double>& point,
                           const std::valarray<double>& residual, int code, const std::string& name,
                           double alpha, double J, double slope);
