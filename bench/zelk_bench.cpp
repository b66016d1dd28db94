// The minimisation driver end to end on the problems with known answers,
// per problem and kind of direction: wall time per run, and per run the
// host's callback calls ("f", "g", "H", "Hv") and the iterations ("it").
// A run that misses its answer is reported as an error.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "quiet_stderr.h"
#include "tests/support/known_problems.h"

namespace {

using namespace known_problems;

struct Setup {
  const Problem& problem;
  const char* kind;
  Callbacks callbacks;
  Options options;
  double tolerance;  // on max |x - x*|, or on f without a solution
};

void runZelk(benchmark::State& st, const Setup& s) {
  Options options = s.options;
  options.push_back({"saveLast", 0});
  Counts total;
  long iterations = 0;
  bool solved = true;
  {
    QuietStderr quietErr;
    QuietStderr quietOut(STDOUT_FILENO);
    for (auto _ : st) {
      Host host{&s.problem};
      const Outcome out = run(host, {}, options, s.callbacks);
      total.objective += host.counts.objective;
      total.gradient += host.counts.gradient;
      total.hessian += host.counts.hessian;
      total.product += host.counts.product;
      iterations += host.iterations();
      const double miss =
          s.problem.solution.empty() ? out.f : distance(out.x, s.problem.solution);
      solved = solved && out.status == 0 && miss < s.tolerance;
    }
  }
  if (!solved) st.SkipWithError("the run missed the known answer");
  const auto perRun = benchmark::Counter::kAvgIterations;
  st.counters["f"] = benchmark::Counter(static_cast<double>(total.objective), perRun);
  st.counters["g"] = benchmark::Counter(static_cast<double>(total.gradient), perRun);
  st.counters["H"] = benchmark::Counter(static_cast<double>(total.hessian), perRun);
  st.counters["Hv"] = benchmark::Counter(static_cast<double>(total.product), perRun);
  st.counters["it"] = benchmark::Counter(static_cast<double>(iterations), perRun);
}

const Callbacks kGradient{true, false, false};
const Callbacks kHessian{true, true, false};
const Callbacks kProducts{true, false, true};
const Callbacks kObjectiveOnly{false, false, false};

const std::vector<Setup>& setups() {
  static const std::vector<Setup> all = {
      {spd5(), "SD0", kGradient, {{"sdirs", 1}}, 1e-6},
      {spd5(), "SD1", kGradient, {{"sdirs", 2}}, 1e-6},
      {spd5(), "SD1/objective-only", kObjectiveOnly, {}, 1e-5},
      {spd5(), "SD2/Hessian", kHessian, {{"sdirs", 4}}, 1e-8},
      {spd5(), "SD3/Hessian", kHessian, {{"sdirs", 8}}, 1e-8},
      {spd5(), "SD4/Hessian", kHessian, {{"sdirs", 16}}, 1e-8},
      {spd5(), "SD2/products", kProducts, {{"sdirs", 4}}, 1e-8},
      {spd5(), "SD3/products", kProducts, {{"sdirs", 8}}, 1e-8},
      {rosenbrock(), "SD1", kGradient, {}, 1e-5},
      {rosenbrock(), "SD4+SD3/Hessian", kHessian, {}, 1e-5},
      {rosenbrock(), "SD3/products", kProducts, {}, 1e-5},
      {powell(), "SD1", kGradient, {}, 1e-10},
      {powell(), "SD4+SD3/Hessian", kHessian, {}, 1e-10},
      {powell(), "SD3/products", kProducts, {}, 1e-10},
      {diagonal(), "SD3/products", kProducts, {}, 1e-5},
      {logarithm(), "SD1", kGradient, {}, 1e-6},
      {logarithm(), "SD4+SD3/Hessian", kHessian, {}, 1e-6},
  };
  return all;
}

const bool registered = [] {
  for (const Setup& s : setups())
    benchmark::RegisterBenchmark(
        (std::string("BM_Zelk/") + s.problem.name + "/" + s.kind).c_str(),
        [&s](benchmark::State& st) { runZelk(st, s); })
        ->Unit(benchmark::kMicrosecond);
  return true;
}();

}  // namespace
