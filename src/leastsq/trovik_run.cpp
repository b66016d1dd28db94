// The run frame of the least-squares driver: start-up, the iteration loop
// and the end of a run.
//
// Start-up: options and arguments, then the driver's signal handlers and
// traps (the host's dispositions and trap mask are saved first and given
// back on every way out), resume, the start point's residuals, the
// monitor, the start and run-information records, the admissibility of
// the start value, the run-state reset, and the callbacks the directions
// need. Each iteration: F and J at x (J checked against differences in the
// first one, and dumped on request), one direction per kind of "sdirs" and
// the choice among them (step_choice.h), the step (kept only when it does
// not raise the objective), the record, the residuals to the host and the
// monitor, a requested save and the stopping rules. The end: the counters
// and final records, the point to the host, the state file.
//
// The host's r always holds the residuals of the point the run stands on:
// a refused step puts back the residuals of the iteration's start.

#include "leastsq/trovik_run.h"

#include <fenv.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "dense/host_arrays.h"
#include "dense/norms.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/safe_divide.h"
#include "dense/timer.h"
#include "dense/vector_kernels.h"
#include "driver/driver_errors.h"
#include "driver/option_overrides.h"
#include "driver/record_format.h"
#include "driver/run_records.h"
#include "driver/signal_requests.h"
#include "driver/state_file.h"
#include "leastsq/jacobian_checks.h"
#include "leastsq/residual_noise.h"
#include "leastsq/residual_objective.h"
#include "leastsq/run_monitor.h"
#include "leastsq/stationarity.h"
#include "leastsq/step_choice.h"
#include "leastsq/trovik_records.h"
#include "leastsq/trovik_stopping.h"
#include "leastsq/trovik_task.h"
#include "options/error_exit.h"
#include "options/global_state.h"
#include "options/opts.h"
#include "options/search_dir.h"
#include "steps/scaling_record.h"

namespace {

using Vec = std::valarray<double>;
using Matrix = MatrixTemplate<double>;

// Refuses what the run cannot work with; zelkStop reports it (and ends the
// process when enableExit is set).
bool acceptArguments(const TrovikCall& call) {
  std::string refused;
  if (call.n == 0)
    refused = "No variables";
  else if (call.m == 0)
    refused = "No residuals";
  else if (call.n > INT_MAX || call.m > INT_MAX)
    refused = "n = " + std::to_string(call.n) + " or m = " + std::to_string(call.m) + " is above " +
              std::to_string(INT_MAX);
  else if (call.residual == nullptr)
    refused = "residual function is a null pointer";
  else if (call.x0 == nullptr)
    refused = "x0 is a null pointer";
  else if (call.x == nullptr)
    refused = "x is a null pointer";
  else if (call.r == nullptr)
    refused = "r is a null pointer";
  if (refused.empty()) return true;
  zelkStop(refused, -1);
  return false;
}

class TrovikRun {
 public:
  TrovikRun(const TrovikCall& call, TrovikOptimizationTask& task)
      : call_(call),
        task_(task),
        n_(call.n),
        m_(call.m),
        x_(copyIn(call.x0, static_cast<long>(call.n))),
        r_(0.0, call.m),
        monitor_(x_, r_) {}

  int execute() {
    try {
      if (const std::optional<int> early = startUp()) return *early;
      return finish(iterate());
    } catch (...) {
      // The host's r holds the residuals last reported: give it their point.
      if (reported_) copyOut(call_.x, reportedX_, static_cast<long>(n_));
      throw;
    }
  }

 private:
  std::optional<int> startUp();
  StopReason iterate();
  StopReason runIteration();
  bool evaluateJacobian();
  void checkFirstIteration(bool jacobianUsable);
  double takeStep(double move, double f, bool& moved);
  const ResidualNoise& startNoise(bool measure);
  bool noiseMeasuredAtStart() const;
  RangeVerdict startRange(bool jacobianUsable,
                          const std::function<bool(const RangeVerdict&)>& settled);
  Vec objectiveGradient();
  bool trialsShowStationary();
  void judgeStall(StopTestValues& v, double radiusBefore, bool jacobianUsable);
  void publish();
  int finish(const StopReason& reason);

  const TrovikCall& call_;
  TrovikOptimizationTask& task_;
  const std::size_t n_, m_;
  Vec x_;
  Vec r_;
  Vec xStart_;          // x at the top of the iteration
  Vec rStart_;          // F(x) there
  Matrix J_;            // the iteration's Jacobian; empty without a Jacobian callback
  RunMonitor monitor_;  // serves copies of x and r; stopped before anything it was lent goes
  std::unique_ptr<ScalingRecord> scaling_;
  double f0_ = 0.0;
  double f_ = 0.0;  // objective after the last iteration
  double t0_ = 0.0;
  long it_ = 0;
  SearchDir chosenKind_ = SearchDir::None;
  Vec chosenDirection_;  // the last winner's
  Vec reportedX_;        // the point whose residuals the host's r holds
  bool reported_ = false;
  int stalledIterations_ = 0;  // in a row while the trust region's radius changes
  // The residuals' noise, measured once per point.
  Vec noisePoint_;
  ResidualNoise noise_;
};

std::optional<int> TrovikRun::startUp() {
  state.request.store(0);  // a request left over from an earlier run
  task_.installHandlers();
  if (opts.enableResume != 0) {
    state.resumed = 1;
    resumeFromStateFile(state.stateFile, x_);
  }
  task_.Feval(x_, r_);
  f0_ = f_ = evalFunc(r_);

  monitor_.publish(x_, r_);
  task_.history = &monitor_.history();
  task_.run = &monitor_.runInfo();
  monitor_.start();

  t0_ = get_wall_time();
  task_.report(x_, r_, trovikStartRecord(n_, f0_, t0_));
  task_.report(x_, r_, trovikVersionRecord());
  task_.report(x_, r_, blasRecord());
  if (std::isnan(f0_) || quietGreater(std::fabs(f0_), DBL_MAX)) {
    std::fputs("Error: v0 is inadmissible\n", stderr);
    return 1;
  }

  resetRunStateKeepingRequests();
  if (task_.jacobian == nullptr && (task_.jv == nullptr || task_.vj == nullptr)) {
    driverStop(
        task_.host,
        "When Jacobian handle is null, Jacobian-vector and vector-Jacobian are both required", -1);
    return -1;
  }

  scaling_ = std::make_unique<ScalingRecord>(
      ScalingRecord{DiagMatrixTemplate<double>(Vec(0.0, n_)), 1.0e-7});
  task_.scaling = scaling_.get();
  chosenDirection_ = Vec(0.0, n_);
  return std::nullopt;
}

StopReason TrovikRun::iterate() {
  for (it_ = 0;; ++it_)
    if (StopReason reason = runIteration(); reason.code != 0) return reason;
}

// J at x into J_, r = F(x) again from the Jacobian callback, and the dump.
// False when J holds a NaN or an infinity (reported through the error
// exits; with enableExit off the iteration then takes no step).
bool TrovikRun::evaluateJacobian() {
  if (task_.jacobian != nullptr) {
    if (J_.rows != m_ || J_.cols != n_) J_ = Matrix(m_, n_);
    if (const char* message = nonFiniteMessage(task_.Jeval(x_, r_, J_))) {
      nonFiniteStop(task_.host, message);
      return false;
    }
  }
  if (opts.dump & 0x20) dumpJacobian(task_, x_, r_, J_, it_);
  return true;
}

void TrovikRun::checkFirstIteration(bool jacobianUsable) {
  if (opts.checkgradient >= 0 && jacobianUsable) checkJacobian(task_, x_, r_, J_);
  if (const double norm = normfro(J_.elements); std::isnan(norm))
    driverStop(task_.host, "gradient is NaN: " + formatRecordDouble(norm), -1);
}

// x + move d for the chosen direction d, kept when the point is finite and
// its objective does not exceed f; returns the objective the run stands
// on, and moved tells whether x changed. A zero move stays at x without a
// trial.
double TrovikRun::takeStep(double move, double f, bool& moved) {
  moved = false;
  if (move != 0.0 && !allZero(chosenDirection_)) {
    Vec trial = quietly([&] { return Vec(x_ + move * chosenDirection_); });
    if (allFinite(trial)) {
      task_.Feval(trial, r_);
      const double fTrial = evalFunc(r_);
      task_.stepEvidence.beginDirection();
      task_.stepEvidence.add(x_, trial, move, std::numeric_limits<double>::quiet_NaN(), fTrial);
      if (quietLessEqual(fTrial, f)) {
        for (std::size_t i = 0; i < n_ && !moved; ++i) moved = trial[i] != x_[i];
        x_ = std::move(trial);
        return fTrial;
      }
    }
  }
  r_ = rStart_;
  return f;
}

bool TrovikRun::noiseMeasuredAtStart() const {
  return noisePoint_.size() == xStart_.size() && noise_.sigma.size() == m_ &&
         std::equal(std::begin(noisePoint_), std::end(noisePoint_), std::begin(xStart_));
}

// The residuals' noise at the iteration's start: their floors, or what
// was measured there; measured now when asked and not measured at this
// point before (the same point's measurement serves every iteration that
// stays on it).
const ResidualNoise& TrovikRun::startNoise(bool measure) {
  if (noiseMeasuredAtStart()) return noise_;
  if (!measure) {
    noise_ = residualRoundingFloor(rStart_);
    noisePoint_.resize(0);
    return noise_;
  }
  noise_ = measureResidualNoise(task_, xStart_, rStart_);
  noisePoint_ = xStart_;
  return noise_;
}

// The test of stationarity at the iteration's start (leastsq/stationarity.h),
// with the dense Jacobian when it is usable, else with the products. The
// residuals' own rounding is tried first; only where that leaves the
// question unsettled is their noise measured.
RangeVerdict TrovikRun::startRange(bool jacobianUsable,
                                   const std::function<bool(const RangeVerdict&)>& settled) {
  const Vec target = stationarityTarget(rStart_);
  GaussNewtonRange range;
  if (J_.elements.size() != 0) {
    if (jacobianUsable) range = denseGaussNewtonRange(J_, target);
  } else {
    range = productGaussNewtonRange(task_, xStart_, rStart_, target);
  }
  const RangeVerdict verdict = judgeRange(range, rStart_, startNoise(false));
  if (!verdict.known || settled(verdict) || !allFinite(rStart_)) return verdict;
  return judgeRange(range, rStart_, startNoise(true));
}

// An iteration that made no progress (its step, if any, lowered f by no
// more than its noise) has stalled unless its point is stationary
// (leastsq/stationarity.h): by the range test, or where that fails, by the
// trials. The trust region's radius is the one thing the directions carry
// over: while it changes, the next iteration can differ, and the run is
// declared stalled after kStalledIterationsWhileStateChanges iterations in
// a row without progress (at the first when the radius stayed put, or no
// trust-region direction ran).
//
// An iteration that made progress is asked whether it crawled only when a
// rule on the step would hold: its decrease is a sliver of what the
// Gauss-Newton model promises at a point that is not stationary.
void TrovikRun::judgeStall(StopTestValues& v, double radiusBefore, bool jacobianUsable) {
  StepEvidence& evidence = task_.stepEvidence;
  const bool moved = v.progressed;
  if (noiseMeasuredAtStart()) evidence.setNoise(objectiveNoise(rStart_, noise_.sigma));
  v.progressed = moved && evidence.showsDecrease(v.enh);
  if (v.progressed) {
    stalledIterations_ = 0;
    v.crawled = [this, jacobianUsable, enhancement = v.enh] {
      const auto crawl = [enhancement](const RangeVerdict& r) { return crawled(r, enhancement); };
      return crawl(startRange(jacobianUsable, [&](const RangeVerdict& r) { return !crawl(r); }));
    };
    return;
  }
  v.objectiveNotFinite = evidence.objectiveNotFinite();
  v.stationary =
      !v.objectiveNotFinite &&
      startRange(jacobianUsable, [](const RangeVerdict& r) { return r.stationary; }).stationary;
  if (!v.stationary && !v.objectiveNotFinite) v.stationary = trialsShowStationary();
  if (v.stationary) {
    stalledIterations_ = 0;
    return;
  }
  const bool radiusMoved = scaling_ && scaling_->Delta != radiusBefore;
  v.retry = radiusMoved && ++stalledIterations_ < kStalledIterationsWhileStateChanges;
}

// grad F at the iteration's start: J^T w with the weights of
// objectiveWeights, from the iteration's Jacobian or one vector-Jacobian
// product.
Vec TrovikRun::objectiveGradient() {
  const Vec w = objectiveWeights(rStart_);
  if (J_.elements.size() != 0) return matrixTransposeVectorProduct(J_, w);  // BLAS, quietly
  Vec residual = rStart_, gradient(0.0, n_);
  task_.VJeval(xStart_, residual, w, gradient);
  return gradient;
}

// The trials' word where the range test failed: the flat trials of an
// iteration whose trials reached a visible change of f, with the
// residuals' measured noise.
bool TrovikRun::trialsShowStationary() {
  StepEvidence& evidence = task_.stepEvidence;
  const double noise = objectiveNoise(rStart_, startNoise(true).sigma);
  const Vec g = objectiveGradient();
  evidence.setNoise(noise);
  return evidence.stationarity(g, xStart_, nullptr, StepEvidence::FlatTrials::WithinVisibleChange) ==
         StepEvidence::Verdict::Stationary;
}

// The host's r, and the monitor's "x" and "y".
void TrovikRun::publish() {
  copyOut(call_.r, r_, static_cast<long>(m_));
  reportedX_ = x_;
  reported_ = true;
  monitor_.publish(x_, r_);
}

StopReason TrovikRun::runIteration() {
  const std::vector<SearchDir> kinds = maskToFlags<SearchDir>(opts.sdirs);
  state.status = 0;
  state.iter = static_cast<std::int32_t>(it_);
  state.current = x_;

  task_.Feval(x_, r_);
  xStart_ = x_;
  rStart_ = r_;
  const double f = evalFunc(r_);
  task_.stepEvidence.reset(f);
  const bool jacobianUsable = evaluateJacobian();
  if (it_ == 0) checkFirstIteration(jacobianUsable);

  const double radiusBefore = scaling_->Delta;
  StepChoice choice;
  if (jacobianUsable)
    choice = chooseStep(task_, kinds, x_, r_, f, J_);
  else
    choice.length = choice.move = 0.0;
  if (choice.chosen) {
    chosenKind_ = choice.kind;
    chosenDirection_ = std::move(choice.direction);
  }
  const double length = choice.length;
  const double directionNorm = normfro(chosenDirection_);
  bool moved = true;
  f_ = takeStep(choice.move, f, moved);

  const double enhancement = quietly([&] { return f - f_; });
  state.relativeEnhancement() = f == 0.0 ? 0.0 : quietDivide(enhancement, f);
  const double stepNorm = quietly([&] { return directionNorm * length; });
  const bool haveJacobian = J_.elements.size() != 0;
  const double jacobianNorm = normfro(J_.elements);
  const double now = get_wall_time();
  const IterationRecord record = trovikIterationRecord({.iteration = it_,
                                                        .J = f_,
                                                        .enhancement = enhancement,
                                                        .before = f,
                                                        .jacobianNorm = jacobianNorm,
                                                        .slope = choice.chosen ? choice.slope : 0.0,
                                                        .stepLength = length,
                                                        .stepNorm = stepNorm,
                                                        .code = choice.chosen ? choice.code : 0,
                                                        .kind = chosenKind_,
                                                        .now = now,
                                                        .t0 = t0_});
  publish();
  task_.report(x_, r_, record);

  if (takeSaveRequest()) task_.saveState();

  StopTestValues values{.elapsed = now - t0_,
                        .iteration = it_,
                        .nu = stepNorm,
                        .normX = normfro(x_),
                        .enh = enhancement,
                        .fStart = f,
                        .gNorm = jacobianNorm,
                        .haveGradient = haveJacobian,
                        .alpha = length,
                        .dNorm = directionNorm,
                        .f = f_,
                        .f0 = f0_,
                        .progressed = moved,
                        .stepSetByRadius = choice.chosen && choice.kind == SearchDir::SD6 &&
                                           task_.stepAtRadius};
  judgeStall(values, radiusBefore, jacobianUsable);
  return trovikStoppingRules(values);
}

int TrovikRun::finish(const StopReason& reason) {
  task_.report(x_, r_, trovikCountersRecord());
  const IterationRecord last = finalRecord(f_, it_, reason.status, reason.code, reason.exit);
  copyOut(call_.x, x_, static_cast<long>(n_));
  task_.scaling = nullptr;
  scaling_.reset();
  if (opts.saveLast != 0) task_.saveState();
  task_.report(x_, r_, last);
  task_.restoreHost();
  monitor_.stop();
  return reason.status;
}

}  // namespace

int runTrovik(const TrovikCall& call) {
  std::optional<RunningOptions> options;
  if (!loadDriverOptions<OptsTrovik>(call.names, call.values, call.count,
                                     OptionReader::LeastSquares, options))
    return 1;
  if (!acceptArguments(call)) return 1;
  TrovikOptimizationTask task;
  task.residual = call.residual;
  task.jacobian = call.jacobian;
  task.jv = call.jv;
  task.vj = call.vj;
  task.iteration = call.iteration;
  task.user = call.user;
  TrovikRun run(call, task);
  return run.execute();
}
