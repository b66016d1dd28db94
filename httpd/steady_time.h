#pragma once
// The clock of every deadline in the monitor: the steady one, which a change
// of the wall clock cannot move.

#include <chrono>

using SteadyTime = std::chrono::steady_clock::time_point;
