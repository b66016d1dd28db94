#pragma once
// The process-wide run state `state` and the status registry
// `State::g_statelocs`.
//
// The run state carries what lives across iterations and calls: the signal
// request word, the error code of the last zelkStop, the status bits, the
// iteration number, the current point and state-file name, inner-solver
// results, callback timings and call counters. Nothing resets it implicitly;
// a driver that wants a fresh state calls state.reset().
//
// The status registry publishes "error", "status" and "iter" of the
// process-wide `state` for the monitor. Only that one object is registered
// (by a StatusRegistration in globals.cpp), so any other GlobalState, such as
// a temporary, can be built and destroyed freely.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <valarray>

#include "options/exported_data.h"
#include "options/run_state_word.h"
#include "options/variant_ptr.h"

using SignalHandler = void (*)(int);

// Every run-state value except the request word, with its initial value. A
// plain record, so that a reset is one assignment from a fresh record.
//
// Several values go by other names in the driver code; the accessors below
// give those names and the comments say which field holds them.
struct RunStateValues {
  // The three words the monitor's /status reads while a run goes on
  // (atomic accesses, run_state_word.h).
  RunStateWord error = 0;        // code of the last zelkStop ("error")
  RunStateWord status = 0;       // condition bits OR-ed in by line searches
                                 // and step solvers ("status")
  RunStateWord iter = 0;         // iteration number ("iter")
  std::int32_t solverCount = 0;  // zero Jacobian columns found by the last
                                 // scaling pass: zeroColumns(), "cz"
  std::valarray<double> current;  // point written by state saves
  const char* stateFile = "zelk-current.mat";
  SignalHandler savedSigint = nullptr;  // host SIGINT handler replaced by the
                                        // driver's: savedSigintHandler()
  std::int32_t innerIterations = -1;  // running total of inner linear-solver
                                      // iterations
  double innerResidual = -1.0;  // relative residual of the last inner solve

  // Values published by the search-direction builders; -1 means not computed.
  double dirInfo0 = 0.0;    // relativeEnhancement(): enhancement / objective
                            // of the last iteration ("Er")
  double dirInfo1 = 0.0;    // liftShift() / lmAlpha()
  double dirInfo2 = -1.0;   // lowestCurvature() / lmFinalAlpha() ("lc")
  double dirInfo3 = -1.0;   // trustRadius() ("D")
  std::int32_t dirInfo4 = -1;  // lmRank() ("o")
  double dirInfo5 = 0.0;    // maxEigenEstimate() ("e1")
  double dirInfo6 = -1.0;   // lmStats(0): rho of the last LM try ("r")
  double dirInfo7 = -1.0;   // lmStats(1): the step solver's next value ("p")

  // Wall-clock durations in seconds of the last callbacks of each kind.
  double lastEvalTime = 0.0;         // Jacobian or gradient ("eg", "tJ")
  double lastProductTime = 0.0;      // Jv or vJ product: lastCallbackTime()
  double lastHessTime = 0.0;         // Hessian ("eH")
  double lastHessProductTime = 0.0;  // Hessian-vector product ("eh")

  std::uint8_t resumed = 0;   // the run started with "enableResume" on
  std::uint8_t warnedJv = 0;  // "Warning: JVeval not available" printed:
                              // jvWarningGiven()

  // Call counters of a run, with their report keys. The nSpare counters are
  // never incremented.
  std::int32_t nFunc = 0;        // "cf": residualCalls()
  std::int32_t nGrad = 0;        // "cg"
  std::int32_t nFdGrad = 0;      // "cgfd"
  std::int32_t nSpare0 = 0;
  std::int32_t nPerturb = 0;     // "cgvfd": directional gradient checks
  std::int32_t nJac = 0;         // "cJ": jacobianCalls()
  std::int32_t nJv = 0;          // "cJv": jvCalls()
  std::int32_t nVJ = 0;          // "cJtw": vjCalls()
  std::int32_t nFdJac = 0;       // "cJfd"
  std::int32_t nFdJv = 0;        // "cJvfd": fdJvCalls()
  std::int32_t nHess = 0;        // "cH"
  std::int32_t nHv = 0;          // "cHv"
  std::int32_t nFdHess = 0;      // "cHfd"
  std::int32_t nSpare1 = 0;      // "cHvfd"
  std::int32_t nSpare2 = 0;      // "cHfd2"
  std::int32_t nFdHv = 0;        // "cHvfd2": products from gradient differences
  std::int32_t nLineSearch = 0;  // "cW": line-search trials, sweepEvaluations()
  std::int32_t nScan = 0;        // "cS": scan trials, refineEvaluations()
  std::int32_t nOutput = 0;      // "co": output callbacks, iterationCalls()

  SignalHandler& savedSigintHandler() { return savedSigint; }
  std::int32_t& zeroColumns() { return solverCount; }
  double& relativeEnhancement() { return dirInfo0; }
  double& liftShift() { return dirInfo1; }
  double& lmAlpha() { return dirInfo1; }
  double& lowestCurvature() { return dirInfo2; }
  double& lmFinalAlpha() { return dirInfo2; }
  double& trustRadius() { return dirInfo3; }
  std::int32_t& lmRank() { return dirInfo4; }
  double& maxEigenEstimate() { return dirInfo5; }
  double& lmStats(int i) { return i == 0 ? dirInfo6 : dirInfo7; }
  double& lastCallbackTime() { return lastProductTime; }
  std::uint8_t& jvWarningGiven() { return warnedJv; }
  std::int32_t& residualCalls() { return nFunc; }
  std::int32_t& jacobianCalls() { return nJac; }
  std::int32_t& jvCalls() { return nJv; }
  std::int32_t& vjCalls() { return nVJ; }
  std::int32_t& fdJvCalls() { return nFdJv; }
  std::int32_t& iterationCalls() { return nOutput; }
  std::int32_t& sweepEvaluations() { return nLineSearch; }
  std::int32_t& refineEvaluations() { return nScan; }
};

class GlobalState : public RunStateValues {
 public:
  // The stop/save request: 1 stop (SIGINT), 2 save (SIGUSR1), 3 both
  // (SIGUSR2). Signal handlers store into it asynchronously; the drivers read
  // it between iterations and clear bit 1 after a save.
  std::atomic<std::int32_t> request{0};
  static_assert(std::atomic<std::int32_t>::is_always_lock_free,
                "signal handlers need a lock-free request word");

  GlobalState() = default;
  GlobalState(const GlobalState&) = delete;
  GlobalState& operator=(const GlobalState&) = delete;

  // Back to the initial values: request, counters, "error", "status" and
  // "iter" 0, flags cleared, no saved handler, empty point, default
  // state-file name. Registrations of the fields stay valid.
  void reset() noexcept;
  // The same for everything but the request word: a signal that came before
  // (or comes during) the reset still asks for its stop or save.
  void resetValues() noexcept;
};

// Publishes the "error", "status" and "iter" fields of one run state in a
// status registry while it lives, and takes the entries out again at the end.
class StatusRegistration {
 public:
  StatusRegistration(GlobalState& s, std::map<std::string, VariantPtrBase*>& registry);
  StatusRegistration(const StatusRegistration&) = delete;
  StatusRegistration& operator=(const StatusRegistration&) = delete;
  ~StatusRegistration();

 private:
  void unregister() noexcept;

  std::map<std::string, VariantPtrBase*>& registry_;
  std::unique_ptr<VariantPtrBase> slots_[3];
};

namespace State {
// Status name -> slot over a field of `state`, for the monitor.
extern std::map<std::string, VariantPtrBase*> g_statelocs ZELK_EXPORTED_DATA;
}  // namespace State

// The process-wide run state (globals.cpp).
extern GlobalState state ZELK_EXPORTED_DATA;
