#pragma once
// The frame of every trovik test run: the monitor on an ephemeral port, a
// fresh working directory that is also the MAT-file directory, the traps
// on, the error exit off, standard error kept for the test; after the run
// the host's trap mask and signal dispositions must be as they were, and
// the caller's r, once written, must be r(x). Every run starts the monitor
// (threads), so suites on this fixture carry "Threaded" in their names.

#include <fenv.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <tuple>

#include "leastsq/trovik_host.h"
#include "support/captured_output.h"
#include "support/fp_traps.h"
#include "support/run_scratch.h"

namespace trovik_host {

inline SignalHandler disposition(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

// What a return must leave as the call found it.
inline auto hostSettings() {
  return std::tuple(fegetexcept(), disposition(SIGINT), disposition(SIGUSR1), disposition(SIGUSR2));
}

inline double valueOf(const Record& r, const char* key) {
  return std::strtod(r.at(key).c_str(), nullptr);
}

// a = b entry by entry to tol, where b is not NaN.
inline void expectNear(const Vec& a, const Vec& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i)
    EXPECT_TRUE(std::isnan(b[i]) || std::fabs(a[i] - b[i]) <= tol) << i << ": " << a[i];
}

class TrovikFixture : public DriverRunTest<> {
 protected:

  Outcome solve(Host& h, Options options, Callbacks callbacks = Callbacks::Jacobian) {
    options.push_back({"enableExit", 0});
    FpTrapGuard traps;
    const auto before = hostSettings();
    testing::internal::CaptureStderr();
    Outcome out = run(h, options, callbacks);
    err_ = withoutMonitorLog(testing::internal::GetCapturedStderr());
    EXPECT_EQ(hostSettings(), before);
    EXPECT_TRUE(out.r.empty() || std::isnan(out.r[0]) || out.r == residualsAt(h.problem, out.x));
    return out;
  }
  bool said(const std::string& text) const { return err_.find(text) != std::string::npos; }

  std::string err_;
};

}  // namespace trovik_host
