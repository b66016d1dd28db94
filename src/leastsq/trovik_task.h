#pragma once
// TrovikOptimizationTask: one call of the least-squares driver `trovik`. It
// holds the host's callbacks, and its methods are the only way from the
// driver, the search directions, the step solvers and the line searches to
// the host. Every host call is counted in the run state and runs under a
// CallbackGuard: the host's trap mask for the length of the call, the
// driver's again after it (also when the call ends by an exception). The
// driver's signal handlers stay in force, so a stop or save request can
// come at any moment of the run.
//
// The task owns the call's saved host environment: installHandlers() saves
// the host's SIGINT, SIGUSR1 and SIGUSR2 dispositions and trap mask and
// puts the driver's in place; restoreHost(), and at the latest the task's
// end, gives them back, so no handler of the library stays installed after
// the call, whichever way it returns.
//
// Files: host_calls.cpp (residuals, Jacobian, products), fd_jv.cpp
// (finite-difference Jacobian-vector product), iteration_callback.cpp
// (records to the history and the iteration callback), trovik_signals.cpp
// (signal handlers, host environment, state save), search_directions.cpp
// (the direction kinds).

#include <valarray>

#include "dense/fp_class.h"
#include "dense/matrix.h"
#include "driver/central_difference.h"
#include "driver/host_environment.h"
#include "driver/step_evidence.h"
#include "httpd/monitor_data.h"
#include "options/search_dir.h"
#include "zelk/trovik.h"

struct ScalingRecord;  // the trust-region scaling of the steps (src/steps/)

class TrovikOptimizationTask {
 public:
  TrovikResidualFn residual = nullptr;
  TrovikJacobianFn jacobian = nullptr;
  TrovikJvFn jv = nullptr;
  TrovikVJFn vj = nullptr;
  TrovikIterationFn iteration = nullptr;
  ScalingRecord* scaling = nullptr;  // created and freed by the run
  void* user = nullptr;
  IterationHistory* history = nullptr;  // the run's records; none when null
  RunInfo* run = nullptr;  // the history's lock while the monitor reads it; none when null
  HostEnvironment host;    // the host's settings while the driver's are in force
  StepEvidence stepEvidence;  // the trial steps of the current iteration
  // The last trust-region direction (SD6) reached the region's radius: its
  // length was set by the radius, not by the Gauss-Newton model.
  bool stepAtRadius = false;

  // Signal handlers of a run: they post the stop, save, and save-and-stop
  // requests (one write(2) of their text and an atomic store).
  static void sigintHandler(int);
  static void sigusr1Handler(int);
  static void sigusr2Handler(int);

  // Saves the host's dispositions and trap mask and installs what the
  // options ask for: the three handlers by enableSigIntHandler,
  // enableSigUSR1Handler and enableSigUSR2Handler, the traps of invalid
  // operations, division by zero and overflow by enableFloatExcept. The
  // settings hold until restoreHost(); a second call in between does nothing.
  void installHandlers() noexcept;
  // The host's dispositions, trap mask and exception flags back.
  void restoreHost() noexcept { host.restore(); }

  // Host calls. n = x.size() and m = r.size() are the lengths handed to the
  // host; every output must already have its final size (a wrong size is
  // refused with std::invalid_argument before the host is called). A
  // missing callback is reported through zelkStop with code -1 and the
  // call returns with its outputs as they were (the call is counted).
  // Otherwise every output (r of F, J, out) holds zeros when the host's
  // call starts; the r handed beside J or a product keeps its values (F at
  // the point, as the callers pass it) for the host to write again.
  //
  // r = F(x) ("cf").
  void Feval(const std::valarray<double>& x, std::valarray<double>& r);
  // J (m x n) = the Jacobian at x, r = F(x) ("cJ"); returns what J held.
  HostValues Jeval(const std::valarray<double>& x, std::valarray<double>& r,
                   MatrixTemplate<double>& J);
  // out (m) = J v for v (n), r = F(x) ("cJv").
  void JVeval(const std::valarray<double>& x, std::valarray<double>& r,
              const std::valarray<double>& v, std::valarray<double>& out);
  // out (n) = J^T w for w (m), r = F(x) ("cJtw").
  void VJeval(const std::valarray<double>& x, std::valarray<double>& r,
              const std::valarray<double>& w, std::valarray<double>& out);
  // Blocks of k vectors in one host call: V holds k vectors of n entries,
  // vector i at offset i * n of its storage, and Out receives the k products
  // J v_i (m entries each) in the same layout; the count handed to the host
  // is V.rows * V.cols / n (an n x k or a k x n block both say k). A block
  // whose entries are not whole vectors, or an Out without room for the k
  // products, is refused.
  void JVevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                   const MatrixTemplate<double>& V, MatrixTemplate<double>& Out);
  // The same for J^T w_i: W holds k vectors of m entries, Out receives k
  // vectors of n entries.
  void VJevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                   const MatrixTemplate<double>& W, MatrixTemplate<double>& Out);
  // Both block forms on plain vectors: the k vectors one after the other in
  // V (W), k = V.size() / n (W.size() / m), the products likewise in Out.
  void JVevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                   const std::valarray<double>& V, std::valarray<double>& Out);
  void VJevalBlock(const std::valarray<double>& x, std::valarray<double>& r,
                   const std::valarray<double>& W, std::valarray<double>& Out);
  // out (m) = J v from central differences of F, r = F(x) ("cJvfd", and
  // three residual calls), along v with the step of driver/fd_step.h.
  void fdJVeval(const std::valarray<double>& x, std::valarray<double>& r,
                const std::valarray<double>& v, std::valarray<double>& out);
  // (F(x + t v) - F(x - t v)) / 2t for m residuals, with its rounding
  // estimate ("cJvfd", two residual calls); x +- t v should be exact
  // (driver/fd_step.h).
  CentralDifference residualDifferencesAlong(const std::valarray<double>& x,
                                             const std::valarray<double>& v, double t,
                                             std::size_t m);

  // The record to the iteration callback, with x and r (counted "co",
  // also without a callback).
  void iterationeval(const std::valarray<double>& x, const std::valarray<double>& r,
                     const IterationRecord& record);
  // The record into the run's history: every append of a run goes through
  // here, under run->mutex (the monitor reads the history while the run
  // goes on).
  void appendRecord(const IterationRecord& record);
  // appendRecord, then iterationeval: how every record of a run is
  // delivered.
  void report(const std::valarray<double>& x, const std::valarray<double>& r,
              const IterationRecord& record);

  // Writes the run state's current point to the state file.
  void saveState();

  // The search direction of the given kind at x, with r = F(x) and J the
  // Jacobian at x, or empty for the matrix-free variants that reach J only
  // through the product callbacks (which may write F(x) into r). Always n =
  // x.size() entries; a kind that gives nothing, or nothing finite, gives
  // zeros (search_directions.cpp).
  std::valarray<double> mkSearchDir(SearchDir kind, const std::valarray<double>& x,
                                    std::valarray<double>& r, const MatrixTemplate<double>& J);
};
