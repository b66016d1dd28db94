// The least-squares driver end to end on the problems with known answers,
// per problem and kind of direction, with a Jacobian or with the two
// products alone ("/products"): wall time per run, and per run the
// host's residual ("r"), Jacobian ("J") and product ("Jv") calls and the
// iterations ("it"). The monitor runs on an ephemeral port as in any run;
// no state file is written. A run that misses its answer is reported as an
// error.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "quiet_stderr.h"
#include "tests/leastsq/trovik_host.h"

namespace {

using namespace trovik_host;

struct Setup {
  Problem (*problem)();
  const char* kind;
  Callbacks callbacks;
  Options options;
  double below = 0.0;  // > 0: judged by a sum of squares below this instead
};

void runTrovik(benchmark::State& st, const Setup& s) {
  setenv("HTTP_PORT", "0", 1);
  Options options = s.options;
  options.push_back({"saveLast", 0});
  options.push_back({"maxit", 200});
  long residuals = 0, jacobians = 0, products = 0, iterations = 0;
  bool solved = true;
  {
    QuietStderr quietErr;
    QuietStderr quietOut(STDOUT_FILENO);
    for (auto _ : st) {
      Host h(s.problem());
      const Outcome out = run(h, options, s.callbacks);
      residuals += h.residualCalls;
      jacobians += h.jacobianCalls;
      products += h.productCalls;
      iterations += static_cast<long>(withKey(h, "tj").size());
      solved = solved && (s.below > 0.0 ? sumOfSquares(out.r) < s.below
                                        : miss(h.problem, out.x) < h.problem.tolerance);
    }
  }
  if (!solved) st.SkipWithError("the run missed the known answer");
  const auto perRun = benchmark::Counter::kAvgIterations;
  st.counters["r"] = benchmark::Counter(static_cast<double>(residuals), perRun);
  st.counters["J"] = benchmark::Counter(static_cast<double>(jacobians), perRun);
  st.counters["Jv"] = benchmark::Counter(static_cast<double>(products), perRun);
  st.counters["it"] = benchmark::Counter(static_cast<double>(iterations), perRun);
}

const std::vector<Setup>& setups() {
  static const std::vector<Setup> all = [] {
    std::vector<Setup> s;
    const std::pair<const char*, double> kinds[] = {
        {"SD2", 4}, {"SD3", 8}, {"SD4", 16}, {"SD2+SD3+SD4", 28}};
    for (const auto& [name, mask] : kinds)
      for (Problem (*problem)() : {rosenbrock, powellSingular, bard, linearProblem})
        s.push_back({problem, name, Callbacks::Jacobian, {{"sdirs", mask}}});
    // The Gauss-Newton kinds stall in Freudenstein and Roth's singular valley.
    s.push_back({freudensteinRoth, "SD4", Callbacks::Jacobian, {{"sdirs", 16}}});
    // The trust-region direction on a Jacobian.
    for (Problem (*problem)() : {rosenbrock, bard, meyer})
      s.push_back({problem, "SD6", Callbacks::Jacobian, {{"sdirs", 64}}});
    // Every solving kind on the two products alone.
    const std::pair<const char*, double> matrixFree[] = {{"SD2/products", 4},
                                                         {"SD3/products", 8},
                                                         {"SD4/products", 16},
                                                         {"SD5/products", 32},
                                                         {"SD6/products", 64}};
    for (const auto& [name, mask] : matrixFree)
      for (Problem (*problem)() : {rosenbrock, bard})
        s.push_back({problem, name, Callbacks::Products, {{"sdirs", mask}}});
    // Steepest descent of sum_i r_i, the kind of product-only runs, is slow:
    // 200 iterations bring the sum of squares from 24.2 below 0.25.
    s.push_back({rosenbrock, "SD0/products", Callbacks::Products, {{"sdirs", 1}}, 0.25});
    return s;
  }();
  return all;
}

const bool registered = [] {
  for (const Setup& s : setups())
    benchmark::RegisterBenchmark(
        (std::string("BM_Trovik/") + s.problem().name + "/" + s.kind).c_str(),
        [&s](benchmark::State& st) { runTrovik(st, s); })
        ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
