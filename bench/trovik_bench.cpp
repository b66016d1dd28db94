// The least-squares driver end to end on the problems with known answers,
// per problem and kind of direction, with a Jacobian or with the two
// products alone ("/products"): wall time per run, and per run the
// host's residual ("r"), Jacobian ("J") and product ("Jv") calls and the
// iterations ("it"). The monitor runs on an ephemeral port as in any run;
// no state file is written. A run that misses its answer is reported as an
// error.

#include <benchmark/benchmark.h>
#include <lapacke.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "quiet_stderr.h"
#include "tests/leastsq/trovik_host.h"

namespace {

using namespace trovik_host;

// How close a run must come: to the root, or to the least sum of squares.
struct Answer {
  Values root;  // empty: judged by the sum of squares
  double sumOfSquares = 0.0;
  double tolerance = 0.0;
};

struct Setup {
  Problem (*problem)();
  Answer answer;
  const char* kind;
  Callbacks callbacks;
  Options options;
};

bool reached(const Answer& a, const Problem& p, const Outcome& out) {
  if (a.root.empty())
    return std::fabs(sumOfSquares(residualsAt(p, out.x)) - a.sumOfSquares) < a.tolerance;
  double miss = 0.0;
  for (std::size_t j = 0; j < a.root.size(); ++j)
    miss = std::max(miss, std::fabs(out.x[j] - a.root[j]));
  return miss < a.tolerance;
}

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
      solved = solved && reached(s.answer, h.problem, out);
    }
  }
  if (!solved) st.SkipWithError("the run missed the known answer");
  const auto perRun = benchmark::Counter::kAvgIterations;
  st.counters["r"] = benchmark::Counter(static_cast<double>(residuals), perRun);
  st.counters["J"] = benchmark::Counter(static_cast<double>(jacobians), perRun);
  st.counters["Jv"] = benchmark::Counter(static_cast<double>(products), perRun);
  st.counters["it"] = benchmark::Counter(static_cast<double>(iterations), perRun);
}

// The linear problem's least-squares solution, by LAPACK's SVD solve.
Values linearSolution() {
  const Problem p = linearProblem();
  Values A(p.m * p.n), b = residualsAt(p, Values(p.n, 0.0)), s(p.n);
  p.jacobian(nullptr, A.data());
  for (double& v : b) v = -v;
  lapack_int rank = 0;
  LAPACKE_dgelsd(LAPACK_ROW_MAJOR, static_cast<int>(p.m), static_cast<int>(p.n), 1, A.data(),
                 static_cast<int>(p.n), b.data(), 1, s.data(), -1.0, &rank);
  b.resize(p.n);
  return b;
}

const std::vector<Setup>& setups() {
  const Answer linearAnswer{linearSolution(), 0.0, 1e-8};
  const Answer rosenbrockRoot{{1.0, 1.0}, 0.0, 1e-7};
  const Answer powellRoot{{0.0, 0.0, 0.0, 0.0}, 0.0, 1e-6};
  const Answer bardMinimum{{}, 8.21487e-3, 1e-8};
  const Answer freudensteinMinimum{{}, 48.9842, 1e-4};
  const Answer meyerMinimum{{}, 87.9458, 1e-3};
  static const std::vector<Setup> all = [&] {
    std::vector<Setup> s;
    const std::pair<const char*, double> kinds[] = {
        {"SD2", 4}, {"SD3", 8}, {"SD4", 16}, {"SD2+SD3+SD4", 28}};
    for (const auto& [name, mask] : kinds) {
      s.push_back({rosenbrock, rosenbrockRoot, name, Callbacks::Jacobian, {{"sdirs", mask}}});
      s.push_back({powellSingular, powellRoot, name, Callbacks::Jacobian, {{"sdirs", mask}}});
      s.push_back({bard, bardMinimum, name, Callbacks::Jacobian, {{"sdirs", mask}}});
      s.push_back({linearProblem, linearAnswer, name, Callbacks::Jacobian, {{"sdirs", mask}}});
    }
    // The Gauss-Newton kinds stall in Freudenstein and Roth's singular valley.
    s.push_back(
        {freudensteinRoth, freudensteinMinimum, "SD4", Callbacks::Jacobian, {{"sdirs", 16}}});
    // The trust-region direction on a Jacobian.
    for (Problem (*problem)() : {rosenbrock, bard})
      s.push_back({problem, problem == rosenbrock ? rosenbrockRoot : bardMinimum, "SD6",
                   Callbacks::Jacobian, {{"sdirs", 64}}});
    s.push_back({meyer, meyerMinimum, "SD6", Callbacks::Jacobian, {{"sdirs", 64}}});
    // Every solving kind on the two products alone.
    const std::pair<const char*, double> matrixFree[] = {{"SD2/products", 4},
                                                         {"SD3/products", 8},
                                                         {"SD4/products", 16},
                                                         {"SD5/products", 32},
                                                         {"SD6/products", 64}};
    for (const auto& [name, mask] : matrixFree) {
      s.push_back({rosenbrock, rosenbrockRoot, name, Callbacks::Products, {{"sdirs", mask}}});
      s.push_back({bard, bardMinimum, name, Callbacks::Products, {{"sdirs", mask}}});
    }
    // Steepest descent of sum_i r_i, the kind of product-only runs, is slow:
    // 200 iterations bring the sum of squares from 24.2 below 0.25.
    s.push_back({rosenbrock, {{}, 0.0, 0.25}, "SD0/products", Callbacks::Products, {{"sdirs", 1}}});
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
