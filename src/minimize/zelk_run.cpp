// The run frame of the minimisation driver: start-up, the iteration loop
// and the end of a run.
//
// Start-up: options, arguments, the driver's signal handlers and traps,
// resume, the start value and its records, the kinds of direction, then
// (for an admissible start) the run-state reset. Each iteration: the
// objective and derivatives at x (checked against finite differences in
// the first one), the Hessian decomposition, one direction per kind, the
// choice of a direction and step, the step (taken only when it does not
// increase the objective and lands on a finite point and value), the
// iteration record, a requested save and the stopping rules. The end: the
// counters and final records, the result into the host's arrays, the state
// file, and the host's settings back.

#include "minimize/zelk_run.h"

#include <algorithm>
#include <climits>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <valarray>

#include "dense/host_arrays.h"
#include "dense/norms.h"
#include "dense/quiet_arith.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/timer.h"
#include "dense/valarray_data.h"
#include "dense/vector_kernels.h"
#include "driver/driver_errors.h"
#include "driver/fd_step.h"
#include "driver/noise_estimate.h"
#include "driver/option_overrides.h"
#include "driver/signal_requests.h"
#include "driver/state_file.h"
#include "driver/stopping_rules.h"
#include "minimize/derivative_checks.h"
#include "minimize/zelk_records.h"
#include "minimize/zelk_task.h"
#include "options/error_exit.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

// Refuses what the run cannot work with; zelkStop reports it (and ends the
// process when enableExit is set).
bool acceptArguments(const ZelkCall& call) {
  std::string refused;
  if (call.n < 0 || call.n > INT_MAX)
    refused = "n = " + std::to_string(call.n) + " is outside [0, " + std::to_string(INT_MAX) + "]";
  else if (call.objective == nullptr)
    refused = "objective is a null pointer";
  else if (call.n > 0 && call.x0 == nullptr)
    refused = "x0 is a null pointer";
  else if (call.n > 0 && call.x == nullptr)
    refused = "x is a null pointer";
  if (refused.empty()) return true;
  zelkStop(refused, -1);
  return false;
}

// An eigenvalue of the Hessian below -1e-8 of the largest magnitude is a
// direction of negative curvature, not rounding: x is no minimum.
constexpr double kNegativeCurvature = 1e-8;

// The relative step of the gradient difference along the unmoved variables.
constexpr double kCurvatureStep = 1e-6;

bool contains(const std::vector<SearchDir>& kinds, SearchDir kind) {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

class MinimizationRun {
 public:
  MinimizationRun(const ZelkCall& call, OptimizationTask& task) : call_(call), task_(task) {
    it_.x = copyIn(call.x0, call.n);
  }

  int execute() {
    try {
      if (!startUp()) return 1;
      return finish(iterate());
    } catch (...) {
      copyOut(call_.x, it_.x, call_.n);
      throw;
    }
  }

 private:
  bool startUp();
  StopReason iterate();
  StopReason runIteration();
  int finish(const StopReason& reason);

  void evaluateDerivatives();
  void buildDirections();
  void curvaturePair(double& eig0, double& eig1) const;
  double takeStep(double fStart, bool& moved);
  ModelDecrease modelDecrease() const;
  double noiseAt(const Vec& x, double f, bool measure);
  double curvatureAlong(const Vec& x, double f, const Vec& u);
  void judgeStall(const Vec& xStart, double fStart, double shiftBefore, StopTestValues& v);

  const ZelkCall& call_;
  OptimizationTask& task_;
  MinimizationIterate it_;
  std::vector<SearchDir> kinds_;
  bool hessProduct_ = false;
  double f0_ = 0.0;
  double t0_ = 0.0;
  long iteration_ = 0;
  int stalledIterations_ = 0;  // in a row while the lifted shift changes
  Vec noisePoint_;             // where noise_ was measured
  double noise_ = 0.0;         // the objective's noise there
};

bool MinimizationRun::startUp() {
  // The handlers from the start on: a signal during the start-up's host
  // calls is a request for the run, not the host's signal.
  state.request.store(0);  // a request left over from an earlier run
  DriverEnvironment driver;
  if (opts.enableSigIntHandler != 0) driver.interruptHandler = &OptimizationTask::sigintHandler;
  if (opts.enableSigUSR1Handler != 0) driver.saveHandler = &OptimizationTask::sigusr1Handler;
  if (opts.enableSigUSR2Handler != 0) driver.saveAndStopHandler = &OptimizationTask::sigusr2Handler;
  if (opts.enableFloatExcept != 0) driver.traps = kMinimizerTraps;
  task_.host.arm(driver);

  if (opts.enableResume != 0) {
    state.resumed = 1;
    resumeFromStateFile(state.stateFile, it_.x);
  }
  f0_ = task_.objectiveAt(it_.x);

  if (opts.searchDirs.empty()) {
    if (task_.hessian != nullptr)
      opts.searchDirs = {SearchDir::SD4, SearchDir::SD3};
    else if (task_.hessianProduct != nullptr)
      opts.searchDirs = {SearchDir::SD3};
    else
      opts.searchDirs = {SearchDir::SD1};
  }
  kinds_ = opts.searchDirs;
  t0_ = get_wall_time();

  const long n = call_.n;
  task_.deliver(startRecord(n, f0_, t0_), it_.x, f0_);
  task_.deliver(runInfoRecord(), it_.x, f0_);
  task_.deliver(blasRecord(), it_.x, f0_);
  if (std::isnan(f0_) || quietGreater(std::fabs(f0_), DBL_MAX)) {
    std::fputs("Error: v0 is inadmissible\n", stderr);
    return false;
  }

  resetRunStateKeepingRequests();
  state.liftShift() = -2.0;

  const std::size_t size = static_cast<std::size_t>(n);
  it_.g = Vec(0.0, size);
  it_.gPrev = Vec(0.0, size);
  it_.chosenDirection = Vec(0.0, size);
  it_.alphaInit = opts.alpha0;
  it_.results.assign(kinds_.size(), LSResult{});
  it_.needHessian = task_.hessian != nullptr &&
                    (contains(kinds_, SearchDir::SD2) || contains(kinds_, SearchDir::SD4) ||
                     contains(kinds_, SearchDir::SD3));
  hessProduct_ = contains(kinds_, SearchDir::SD3) && task_.hessianProduct != nullptr;
  return true;
}

void MinimizationRun::evaluateDerivatives() {
  it_.hessianEvaluated = it_.hessianFinite = false;
  it_.decomposition.reset();
  if (it_.needHessian)
    evaluateIterationHessian(task_, it_);
  else
    it_.g = task_.gradeval(it_.x, nullptr);
}

void MinimizationRun::buildDirections() {
  if (it_.needHessian) decomposeIterationHessian(it_);
  const DecomposedSymMatrix_syevd* hess = it_.decomposition ? &*it_.decomposition : nullptr;
  it_.directions.clear();
  for (SearchDir kind : it_.tried)
    it_.directions.push_back(task_.mkSearchDir(kind, it_.x, it_.g, it_.gPrev, it_.chosenDirection,
                                               it_.eig, it_.lambda, it_.beta, hess));
}

void MinimizationRun::curvaturePair(double& eig0, double& eig1) const {
  if (!it_.decomposition) {
    eig0 = it_.eig[0];
    eig1 = it_.eig[1];
    return;
  }
  const DecomposedSymMatrix_syevd& hess = *it_.decomposition;
  eig0 = INFINITY;
  eig1 = -INFINITY;
  for (std::size_t j = 0; j < hess.s.size(); ++j) {
    const double lambda = hess.s[j] * hess.sign[j];
    eig0 = std::fmin(eig0, lambda);
    eig1 = std::fmax(eig1, lambda);
  }
}

// x + alpha s d, kept when the point and its value are finite and the value
// does not exceed fStart. Returns the decrease (0 for a refused step);
// moved tells whether x changed.
double MinimizationRun::takeStep(double fStart, bool& moved) {
  const double factor = it_.alpha * it_.sign;
  Vec trial = quietly([&] { return Vec(it_.x + factor * it_.chosenDirection); });
  const double fTrial = task_.objectiveAt(trial);
  task_.stepEvidence.beginDirection();
  task_.stepEvidence.add(it_.x, trial, factor,
                         quietProduct(factor, dotProduct(it_.g, it_.chosenDirection)), fTrial);
  moved = false;
  if (std::isfinite(fTrial) && quietGreaterEqual(fStart, fTrial) && allFinite(trial)) {
    for (std::size_t i = 0; i < trial.size() && !moved; ++i) moved = trial[i] != it_.x[i];
    it_.x = std::move(trial);
    it_.f = fTrial;
    return quietly([&] { return fStart - fTrial; });
  }
  it_.f = fStart;
  return 0.0;
}

// The decrease the local model of the iteration promises at its best step
// (driver/step_evidence.h); NaN where there is none.
//   - The Hessian holds every direction: g^T H^-1 g / 2 from its eigen
//     decomposition, each curvature taken at least eps times the largest
//     (what the Hessian resolves), +inf for a curvature below -1e-8 of
//     the largest (x is no minimum).
//   - The matrix-free Newton direction d, solved from (H + s I) d = -g,
//     when its shift s is negligible against the largest curvature
//     estimate (at most 1e-8 of it): -g.d / 2. The solve is inexact and a
//     larger shift would hide curvature, so it speaks only for.
ModelDecrease MinimizationRun::modelDecrease() const {
  constexpr double none = std::numeric_limits<double>::quiet_NaN();
  if (it_.decomposition) {
    const DecomposedSymMatrix_syevd& hess = *it_.decomposition;
    const std::size_t n = it_.g.size();
    if (hess.U.rows != n || hess.U.cols < hess.s.size()) return {};
    double largest = 0.0;
    for (std::size_t j = 0; j < hess.s.size(); ++j) largest = std::fmax(largest, hess.s[j]);
    const double decrease = quietly([&] {
      double sum = 0.0;
      for (std::size_t j = 0; j < hess.s.size(); ++j) {
        const double lambda = hess.s[j] * hess.sign[j];
        if (lambda < -kNegativeCurvature * largest) return std::numeric_limits<double>::infinity();
        double component = 0.0;
        for (std::size_t i = 0; i < n; ++i) component += hess.U(i, j) * it_.g[i];
        sum += component * component / std::fmax(lambda, DBL_EPSILON * largest);
      }
      return 0.5 * sum;
    });
    return {decrease, true};
  }
  if (task_.hessianProduct == nullptr) return {};
  for (std::size_t k = 0; k < it_.tried.size() && k < it_.directions.size(); ++k)
    if (it_.tried[k] == SearchDir::SD3 && quietLessEqual(it_.lambda, 1e-8 * it_.eig[1]))
      return {quietly([&] { return -0.5 * dotProduct(it_.g, it_.directions[k]); }), false};
  return {none, false};
}

// The objective's noise at x (driver/noise_estimate.h), measured once per
// point when asked: 6 to 18 objective evaluations. 0 where it is not
// known: f's own rounding alone.
double MinimizationRun::noiseAt(const Vec& x, double f, bool measure) {
  const bool here = noisePoint_.size() == x.size() &&
                    std::equal(std::begin(noisePoint_), std::end(noisePoint_), std::begin(x));
  if (here) return noise_;
  if (!measure) return 0.0;
  const MeasuredNoise measured =
      measureNoise(x, Vec(f, 1), NoiseScale::WithValue, [this](const Vec& point, Vec& value) {
    value[0] = task_.objectiveAt(point);
    return std::isfinite(value[0]);
  });
  noisePoint_ = x;
  noise_ = measured.anyMeasured() ? measured.level[0] : 0.0;
  return noise_;
}

// u.H u at x from the second difference of f over x +- t u, with the
// step of the derivative checks (no variable moves by more than 1e-6 of
// its size): two objective evaluations. NaN where either value is not
// finite.
double MinimizationRun::curvatureAlong(const Vec& x, double f, const Vec& u) {
  const StepAlong along = stepAlong(kCurvatureStep, x, u);
  if (along.t == 0.0 || allZero(along.v)) return std::numeric_limits<double>::quiet_NaN();
  const double ahead = task_.objectiveAt(quietly([&] { return Vec(x + along.t * along.v); }));
  const double behind = task_.objectiveAt(quietly([&] { return Vec(x - along.t * along.v); }));
  if (!std::isfinite(ahead) || !std::isfinite(behind)) return std::numeric_limits<double>::quiet_NaN();
  return quietly([&] { return (ahead + behind - 2.0 * f) / (along.t * along.t); });
}

// An iteration that made no progress from a point that is not stationary
// has stalled. Stationarity is judged against f's own rounding first, and
// where that leaves the point unproven against the noise of f measured
// there. Some directions carry something over to the next iteration, so
// that it can still differ: a nonlinear-CG direction that was not -g is
// restarted as -g (whose trials show the objective along the gradient
// itself), and the matrix-free Newton direction's lifted shift adapts from
// call to call. While that shift changes, the run gets
// kStalledIterationsWhileStateChanges iterations in a row without
// progress; any other run stalls at the first, since the next iteration
// would search the same directions from the same point, unless
// "enableFallback" gives the fallback kinds one iteration of their own.
void MinimizationRun::judgeStall(const Vec& xStart, double fStart, double shiftBefore,
                                 StopTestValues& v) {
  StepEvidence& evidence = task_.stepEvidence;
  evidence.setNoise(noiseAt(xStart, fStart, false));
  v.progressed = v.progressed && evidence.showsDecrease(v.enh);
  if (v.progressed) {
    stalledIterations_ = 0;
    return;
  }
  v.objectiveNotFinite = evidence.objectiveNotFinite();
  const double gNorm = v.gNorm;
  const bool cgContinued = contains(it_.tried, SearchDir::SD1) && std::isfinite(it_.beta) &&
                           it_.beta != 0.0;
  if (cgContinued && gNorm != 0.0 && !v.objectiveNotFinite) {
    v.stationary = false;
    v.retry = true;
    task_.cgDirection.resize(0);
    return;
  }
  evidence.setModelDecrease(modelDecrease());
  using Verdict = StepEvidence::Verdict;
  Verdict verdict = evidence.stationarity(it_.g, xStart);
  if (verdict != Verdict::Stationary && !v.objectiveNotFinite && std::isfinite(fStart)) {
    evidence.setNoise(noiseAt(xStart, fStart, true));
    verdict = evidence.stationarity(it_.g, xStart);
  }
  if (verdict == Verdict::UnlessUnmovedVariables) {
    const double curvature =
        curvatureAlong(xStart, fStart, evidence.unmovedDirection(it_.g, xStart));
    verdict = evidence.stationarity(it_.g, xStart, &curvature);
  }
  v.stationary = verdict == Verdict::Stationary;
  if (v.stationary) {
    stalledIterations_ = 0;
    return;
  }
  const bool shiftChanged = state.liftShift() != shiftBefore;
  v.retry = shiftChanged && ++stalledIterations_ < kStalledIterationsWhileStateChanges;
  // The fallback kinds have not had their turn when one of the iteration's
  // own was accepted: the next iteration is theirs.
  const bool ownKindChosen = it_.alpha != 0.0 && contains(kinds_, it_.chosenKind);
  if (!v.retry && ownKindChosen && opts.alpha == 0.0 && opts.enableFallback != 0) {
    it_.fallbackOnly = true;
    v.retry = true;
  }
}

StopReason MinimizationRun::iterate() {
  for (iteration_ = 0;; ++iteration_)
    if (StopReason reason = runIteration(); reason.code != 0) return reason;
}

StopReason MinimizationRun::runIteration() {
  it_.tried = kinds_;
  state.status = 0;
  state.iter = static_cast<std::int32_t>(iteration_);
  state.current = it_.x;
  it_.eig = 0.0;

  const double shiftBefore = state.liftShift();
  const Vec xStart = it_.x;
  const double normX = normfro(it_.x);
  const double fStart = it_.f = task_.objectiveAt(it_.x);
  task_.stepEvidence.reset(fStart);
  it_.gPrev = it_.g;
  evaluateDerivatives();
  if (iteration_ == 0) checkDerivatives(task_, it_, hessProduct_);

  // A gradient the host gave with NaN or infinite entries has ended the run
  // (its "stop: " line, error 3): no direction is built on it and no step
  // is taken; the stopping rules end the run after this iteration's record.
  const bool gradientFinite = allFinite(it_.g);
  if (gradientFinite) {
    buildDirections();
    it_.flags = true;
    chooseDirection(task_, it_);
  } else {
    it_.chosenDirection = 0.0;
    it_.alpha = 0.0;
    it_.sign = 1;
  }
  double eig0 = 0.0, eig1 = 0.0;
  curvaturePair(eig0, eig1);

  const double gNorm = normfro(it_.g);
  const double dNorm = normfro(it_.chosenDirection);
  const double alpha = it_.alpha;
  // Without a finite gradient no step was sought: the iteration stays put.
  bool moved = false;
  const double enh = gradientFinite ? takeStep(fStart, moved) : 0.0;
  const double nu = quietly([&] { return dNorm * alpha; });
  it_.alphaInit = std::fmax(quietly([&] { return 10.0 * alpha; }), opts.alpha0);

  const IterationSummary summary{.iteration = iteration_,
                                 .f = it_.f,
                                 .enh = enh,
                                 .fStart = fStart,
                                 .nu = nu,
                                 .gNorm = gNorm,
                                 .eig0 = eig0,
                                 .eig1 = eig1,
                                 .elapsed = get_wall_time() - t0_};
  state.relativeEnhancement() = fStart == 0.0 ? 0.0 : quietly([&] { return enh / fStart; });
  const int answer = task_.deliver(iterationRecord(it_, summary), it_.x, it_.f);

  if (takeSaveRequest()) task_.saveState();

  StopTestValues values{.elapsed = summary.elapsed,
                        .iteration = iteration_,
                        .nu = nu,
                        .normX = normX,
                        .enh = enh,
                        .fStart = fStart,
                        .gNorm = gNorm,
                        .alpha = alpha,
                        .dNorm = dNorm,
                        .f = it_.f,
                        .f0 = f0_,
                        .outputAnswer = answer,
                        .progressed = moved};
  judgeStall(xStart, fStart, shiftBefore, values);
  return testStoppingRules(values);
}

int MinimizationRun::finish(const StopReason& reason) {
  task_.deliver(countersRecord(), it_.x, it_.f);
  const OutputRecord last = finalRecord(it_.f, iteration_, reason.status, reason.code, reason.exit);
  copyOut(call_.x, it_.x, call_.n);
  if (call_.m > 0 && call_.f != nullptr) *call_.f = it_.f;
  if (opts.saveLast != 0) task_.saveState();
  int status = reason.status;
  if (const int answer = task_.deliver(last, it_.x, it_.f); answer != 0)
    status = answer == 1 ? 0 : answer;
  task_.host.restore();
  return status;
}

}  // namespace

int runMinimization(const ZelkCall& call) {
  std::optional<RunningOptions> options;
  if (!loadDriverOptions<Opts>(call.names, call.values, call.count, OptionReader::Minimizer,
                               options))
    return 1;
  if (!acceptArguments(call)) return 1;
  if (call.n == 0) {
    zelkStop("No variables", -1);
    return 1;
  }
  HostEnvironment host;
  OptimizationTask task(host);
  task.objective = call.objective;
  task.gradient = call.gradient;
  task.hessian = call.hessian;
  task.hessianProduct = call.hessianProduct;
  task.output = call.output;
  task.user = call.user;
  MinimizationRun run(call, task);
  return run.execute();
}
