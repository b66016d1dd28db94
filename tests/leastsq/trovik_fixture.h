#pragma once
// The frame of every trovik test run: the monitor on an ephemeral port, a
// fresh working directory that is also the MAT-file directory, the traps
// on, the error exit off, standard error kept for the test; after the run
// the host's trap mask and signal dispositions must be as they were, and
// the caller's r, once written, must be r(x). Every run starts the monitor
// (threads), so suites on this fixture carry "Threaded" in their names.

#include <fenv.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "leastsq/trovik_host.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"

namespace trovik_host {

// What a return must leave as the call found it.
struct HostSettings {
  int traps = fegetexcept();
  void (*handlers[3])(int) = {disposition(SIGINT), disposition(SIGUSR1), disposition(SIGUSR2)};

  static void (*disposition(int signal))(int) {
    struct sigaction current = {};
    sigaction(signal, nullptr, &current);
    return current.sa_handler;
  }
  bool operator==(const HostSettings& o) const {
    return traps == o.traps && handlers[0] == o.handlers[0] && handlers[1] == o.handlers[1] &&
           handlers[2] == o.handlers[2];
  }
};

class TrovikFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("HTTP_PORT", "0", 1);
    setenv("QX_DATA_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("QX_DATA_DIR"); }

  Outcome solve(Host& h, Options options, Callbacks given = Callbacks::Jacobian) {
    options.push_back({"enableExit", 0});
    FpTrapGuard traps;
    const HostSettings before;
    testing::internal::CaptureStderr();
    Outcome out = run(h, options, given);
    err_ = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(HostSettings() == before);
    if (!out.r.empty() && !std::isnan(out.r[0])) {
      const Values r = residualsAt(h.problem, out.x);
      for (std::size_t i = 0; i < r.size(); ++i) EXPECT_DOUBLE_EQ(out.r[i], r[i]) << i;
    }
    return out;
  }
  bool said(const std::string& text) const { return err_.find(text) != std::string::npos; }

  ScratchDir dir_;
  std::string err_;
};

template <class Param>
class TrovikParamFixture : public TrovikFixture, public ::testing::WithParamInterface<Param> {};

}  // namespace trovik_host
