#pragma once
// Fixtures of the minimisation tests, both with the host's own traps on:
//   ZelkTest     runs `zelk` through its entry point on the known-problems
//                host, in a scratch working directory (runs write
//                "zelk-current.mat") that is also the MAT-file directory
//                of the dumps of failed derivative checks;
//   SearchTest   a task of the driver outside a run, for the line search,
//                the directions and the derivatives, its objective the
//                known-problems host's: the process-wide options and run
//                state as a run leaves them, put back after each test.
// The header brings what every minimisation test uses: the standard
// containers and tuples, <cmath>, <functional> and <map> through the
// known-problems host (with the problems of the residual collection as
// sums of squares), the driver's task, options and host environment.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <tuple>
#include <valarray>
#include <vector>

#include "driver/host_environment.h"
#include "minimize/zelk_task.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "support/captured_output.h"
#include "support/fp_traps.h"
#include "support/known_problems.h"
#include "support/run_scratch.h"

namespace zelk_test {

using namespace known_problems;
using Vec = std::valarray<double>;

class ZelkTest : public DriverRunTest<> {
 protected:
  FpTrapGuard traps_;
};

class SearchTest : public ::testing::Test {
 protected:
  SearchTest() {
    saved_.assignValues(opts);
    state.reset();
    task_.objective = objective;
    task_.user = &h_;
  }
  ~SearchTest() override {
    opts.assignValues(saved_);
    state.reset();
  }
  Opts saved_;
  HostEnvironment host_;  // never armed: the guards do nothing
  OptimizationTask task_{host_};
  Host h_;  // the callbacks' host
  FpTrapGuard traps_;
};

inline std::vector<double> asVector(const std::valarray<double>& v) {
  return {std::begin(v), std::end(v)};
}

}  // namespace zelk_test
