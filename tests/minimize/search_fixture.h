#pragma once
// A task of the minimisation driver outside a run, for the search pieces:
// the process-wide options and run state as a run leaves them, put back
// after each test, and the floating-point traps on.

#include <gtest/gtest.h>

#include "minimize/host_environment.h"
#include "minimize/optimization_task.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "support/fp_traps.h"

namespace search_test {

class SearchTest : public ::testing::Test {
 protected:
  SearchTest() {
    saved_.assignValues(opts);
    state.reset();
    task_.user = this;
  }
  ~SearchTest() override {
    opts.assignValues(saved_);
    state.reset();
  }

  Opts saved_;
  HostEnvironment host_;
  OptimizationTask task_{host_};
  FpTrapGuard traps_;
};

}  // namespace search_test
