// One long least-squares fit through the C interface alone, as a host
// calls it: y = a exp(-b t) fitted to 2,000 samples of 2 exp(-t / 2) at
// t = 0, 0.01, ..., 19.99, each moved by 0.01 (down at even i, up at odd
// i), from (a, b) = (1, 1), with the dense Jacobian and the default
// direction and line search. Its residual does not vanish, so with "maxit"
// 3002 the run makes 3,003 iterations and returns 1; almost all of its
// time goes to the line searches' residual evaluations (314 an iteration)
// and what the driver does with each of them. The monitor listens on an
// ephemeral port, and no client asks it anything; no state file is
// written.
//
// Per run: the host's residual ("r") and Jacobian ("J") calls and the
// iteration records ("it"). A run that does not end by "maxit", after
// maxit + 1 iterations, at the least-squares answer is reported as an
// error.
//
// The file uses nothing but <zelk/trovik.h>, so that one program built
// from it (with -Iinclude -Ibench, linked with -lzelk -lbenchmark
// -lbenchmark_main) runs against two builds of the library side by side,
// each chosen by LD_LIBRARY_PATH.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "quiet_stderr.h"
#include "zelk/trovik.h"

namespace {

constexpr std::size_t kSamples = 2000;
constexpr long kMaxit = 3002;
// The least-squares answer, to the digits the run reaches after a few
// iterations.
constexpr double kA = 1.99990046, kB = 0.49997504, kAnswerTolerance = 1e-6;

struct Fit {
  std::vector<double> t, y;
  long residualCalls = 0, jacobianCalls = 0, iterations = 0;

  Fit() : t(kSamples), y(kSamples) {
    for (std::size_t i = 0; i < kSamples; ++i) {
      t[i] = 0.01 * static_cast<double>(i);
      y[i] = 2.0 * std::exp(-0.5 * t[i]) + (i % 2 ? 0.01 : -0.01);
    }
  }
};

void residuals(const Fit& fit, const double* p, double* r) {
  for (std::size_t i = 0; i < kSamples; ++i) r[i] = p[0] * std::exp(-p[1] * fit.t[i]) - fit.y[i];
}

int residual(const double* p, size_t, double* r, size_t, void* user) {
  Fit& fit = *static_cast<Fit*>(user);
  ++fit.residualCalls;
  residuals(fit, p, r);
  return 0;
}

// J is m x 2, row-major; r receives the residuals too.
int jacobian(const double* p, size_t, double* r, size_t, double* J, void* user) {
  Fit& fit = *static_cast<Fit*>(user);
  ++fit.jacobianCalls;
  residuals(fit, p, r);
  for (std::size_t i = 0; i < kSamples; ++i) {
    const double e = std::exp(-p[1] * fit.t[i]);
    J[2 * i] = e;
    J[2 * i + 1] = -p[0] * fit.t[i] * e;
  }
  return 0;
}

// Counts the iteration records (those with the step length "tj").
int record(const double*, size_t, const double*, size_t, const void*, const void*,
           const char** keys, const char**, long count, void* user) {
  for (long k = 0; k < count; ++k)
    if (std::strcmp(keys[k], "tj") == 0) {
      ++static_cast<Fit*>(user)->iterations;
      break;
    }
  return 0;
}

void BM_TrovikFit2000(benchmark::State& st) {
  setenv("HTTP_PORT", "0", 1);
  const char* names[] = {"saveLast", "maxit"};
  const double values[] = {0, static_cast<double>(kMaxit)};
  const double start[2] = {1.0, 1.0};
  long residualCalls = 0, jacobianCalls = 0, iterations = 0;
  bool answered = true;
  {
    QuietStderr quietErr;
    QuietStderr quietOut(STDOUT_FILENO);
    for (auto _ : st) {
      Fit fit;
      std::vector<double> r(kSamples);
      double p[2] = {0.0, 0.0};
      const int status = trovik(start, p, 2, r.data(), kSamples, residual, jacobian, nullptr,
                                nullptr, nullptr, record, names, values, 2, &fit);
      residualCalls += fit.residualCalls;
      jacobianCalls += fit.jacobianCalls;
      iterations += fit.iterations;
      answered = answered && status == 1 && fit.iterations == kMaxit + 1 &&
                 std::fabs(p[0] - kA) < kAnswerTolerance &&
                 std::fabs(p[1] - kB) < kAnswerTolerance;
    }
  }
  if (!answered) st.SkipWithError("the fit did not end by maxit at the least-squares answer");
  const auto perRun = benchmark::Counter::kAvgIterations;
  st.counters["r"] = benchmark::Counter(static_cast<double>(residualCalls), perRun);
  st.counters["J"] = benchmark::Counter(static_cast<double>(jacobianCalls), perRun);
  st.counters["it"] = benchmark::Counter(static_cast<double>(iterations), perRun);
}
BENCHMARK(BM_TrovikFit2000)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
