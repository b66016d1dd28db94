#pragma once
// OptimizationTask: one call of the minimisation driver `zelk`. It holds
// the host's callbacks and what the search directions keep from one
// iteration to the next, and its methods are the driver's only way to the
// host: every host call is counted in the run state and runs under a
// CallbackGuard (the host's trap mask for the length of the call; the
// driver's signal handlers stay in force).
//
// Files: derivatives.cpp (objective, gradient, Hessian, Hessian products,
// finite differences), output.cpp (records to the output callback),
// mk_search_dir.cpp with the direction families of search_directions.h,
// line_search.cpp and step_scan.cpp (the line search), direction_choice.cpp
// (the choice among the kinds), zelk_run.cpp (the run itself).

#include <limits>
#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "dense/decomposed_sym.h"
#include "dense/matrix.h"
#include "driver/callback_guard.h"
#include "driver/central_difference.h"
#include "driver/host_environment.h"
#include "driver/ls_result.h"
#include "driver/records.h"
#include "driver/step_evidence.h"
#include "options/search_dir.h"
#include "zelk/zelk.h"

// Second differences of the objective with an estimate of each entry's
// rounding error (see derivatives.cpp).
struct HessianDifferences {
  MatrixTemplate<double> value, error;
};

class OptimizationTask {
 public:
  ZelkObjectiveFn objective = nullptr;
  ZelkGradientFn gradient = nullptr;
  ZelkHessianFn hessian = nullptr;
  ZelkHessianProductFn hessianProduct = nullptr;
  ZelkOutputFn output = nullptr;
  void* user = nullptr;
  std::valarray<double> cgDirection;  // kept by the nonlinear-CG direction
  double hessianShift = 0.0;          // kept by the eigenvalue lifting
  HostEnvironment& host;              // the call's saved host settings
  StepEvidence stepEvidence;          // the trial steps of the current iteration

  explicit OptimizationTask(HostEnvironment& host_) : host(host_) {}

  // The scope of a guarded host call.
  using LeaveEnterZELK = CallbackGuard;

  // Signal handlers of a run: they post the stop, save, and save-and-stop
  // requests.
  static void sigintHandler(int);
  static void sigusr1Handler(int);
  static void sigusr2Handler(int);

  // Objective at x through the host's callback, counted ("cf"); *f is 0
  // when the callback does not write it.
  double objectiveAt(const std::valarray<double>& x);

  // Gradient at x; *f (when f is given) receives the objective value the
  // callback reported, 0 when it wrote none, and *fWritten (when given)
  // whether it wrote one. Without a gradient callback: the finite-difference
  // gradient, and *f = 0, *fWritten = false. The callback starts from
  // zeros; NaN or infinite entries end the run (nonFiniteStop).
  std::valarray<double> gradeval(const std::valarray<double>& x, double* f,
                                 bool* fWritten = nullptr);

  // W = H V for an n x k block V through the Hessian-product callback, which
  // may also write the gradient into w (resized to n when needed); zeros
  // without the callback. The callback starts from zeros in w and W; NaN or
  // infinite entries in either end the run (nonFiniteStop).
  MatrixTemplate<double> hessveceval(const std::valarray<double>& x, const MatrixTemplate<double>& V,
                                     std::valarray<double>& w);

  // Central differences from objective values, one step h for all
  // components, h = 1e-8 max(||x||, 1): the gradient the iteration uses
  // without a gradient callback.
  std::valarray<double> fdgradient(const std::valarray<double>& x);
  // The derivative checks' central differences from objective values, each
  // component with its own step (driver/fd_step.h), `widen` times the
  // check's step 1e-8 s_i, with their rounding estimates; counted as a
  // finite-difference gradient ("cgfd").
  CentralDifference fdGradientDifferences(const std::valarray<double>& x, double widen);

  // H v from central differences of gradients with the step the
  // derivative checks take along v; g and *f receive the gradient and
  // objective at x.
  std::valarray<double> fdHessianProductExactGradient(const std::valarray<double>& x,
                                                      const std::valarray<double>& v,
                                                      std::valarray<double>& g, double* f);
  // (g(x + t v) - g(x - t v)) / 2t with its rounding estimate, counted
  // ("cHvfd2"); x +- t v should be exact (driver/fd_step.h).
  CentralDifference gradientDifferencesAlong(const std::valarray<double>& x,
                                             const std::valarray<double>& v, double t);

  // The Hessian from second differences of objective values, steps
  // 1e-6 s_i per variable; g and *f as above.
  MatrixTemplate<double> fdHessian(const std::valarray<double>& x, std::valarray<double>& g,
                                   double* f);
  // The same second differences with steps `widen` times those, and their
  // rounding estimates, without the gradient at x; counted ("cHfd").
  HessianDifferences fdHessianDifferences(const std::valarray<double>& x, double widen);

  // One output call: counted ("co") whether or not there is a callback;
  // returns the callback's answer, 0 without one.
  int outputeval(const std::valarray<double>& x, double f, const char** keys,
                 const char** values, long count);
  // The record through CharsMap and outputeval.
  int deliver(const OutputRecord& record, const std::valarray<double>& x, double f);

  // Writes the run state's current point to the state file.
  void saveState();

  // One direction of the given kind; the zero vector when the kind cannot
  // give one.
  std::valarray<double> mkSearchDir(SearchDir kind, const std::valarray<double>& x,
                                    const std::valarray<double>& g,
                                    const std::valarray<double>& gPrev,
                                    const std::valarray<double>& dPrev,
                                    std::valarray<double>& eig, double& lambda, double& beta,
                                    const DecomposedSymMatrix_syevd* hess);

  // A step length along d from x (objective f0, gradient g), starting at
  // alpha0; the no-step result when none is found (line_search.cpp). sign
  // is 1 for the driver's searches; name is not used for the search.
  LSResult linesearch(double f0, const std::valarray<double>& x, const std::valarray<double>& d,
                      double alpha0, const std::valarray<double>& g, std::string name, int sign);
  // The search itself, with the same arguments.
  LSResult linesearchDirect(double f0, const std::valarray<double>& x,
                            const std::valarray<double>& d, double alpha0,
                            const std::valarray<double>& g, std::string name, int sign);

 private:
  // Guarded objective call without the count.
  double callObjective(const std::valarray<double>& x);
};

// What the blocks of a Hessian call held (dense/fp_class.h).
struct HessianValues {
  HostValues hessian, gradient;
};

// The Hessian at x through the Hessian callback (counted "cH", guarded),
// which also fills g; both start as zeros. n x n zeros (and g untouched)
// without a callback. `held`, when given, receives what H and g held.
MatrixTemplate<double> evalHessian(OptimizationTask& task, const std::valarray<double>& x,
                                   std::valarray<double>& g, HessianValues* held = nullptr);

// What one iteration knows and builds: the point and its derivatives, the
// Hessian and its decomposition, the kinds tried with their directions and
// line-search results, and the choice made among them.
struct MinimizationIterate {
  std::valarray<double> x;      // current point
  double f = 0.0;               // objective at x
  std::valarray<double> g;      // gradient at x
  std::valarray<double> gPrev;  // gradient of the previous iteration

  bool needHessian = false;  // a Hessian callback serves a Newton-type kind
  bool hessianEvaluated = false;
  bool hessianFinite = false;  // H passed the NaN / Inf test
  MatrixTemplate<double> H;    // symmetric part of the host's Hessian
  std::optional<DecomposedSymMatrix_syevd> decomposition;  // of H, at most one per iteration

  std::vector<SearchDir> tried;
  std::vector<std::valarray<double>> directions;
  std::vector<LSResult> results;
  // The previous iteration stalled with a kind of the iteration's own list
  // while "enableFallback" is on: this one takes its step from the
  // fallback kinds, as if none of its own had been accepted.
  bool fallbackOnly = false;

  SearchDir chosenKind = SearchDir::None;  // keeps its value when nothing is chosen
  std::valarray<double> chosenDirection;   // likewise; the previous step's direction
  double alpha = 0.0;                      // step factor of the choice, 0 for none
  int sign = 1;
  std::valarray<bool> flags = std::valarray<bool>(true, 3);  // acceptance flags

  double alphaInit = 0.0;  // first step of the next line search
  std::valarray<double> eig = std::valarray<double>(0.0, 2);  // matrix-free curvature pair
  double lambda = 0.0;   // curvature value of the last direction built
  double beta = std::numeric_limits<double>::quiet_NaN();  // last CG coefficient of
                                                           // the run, NaN until one
};

// The iteration's Hessian (iteration_hessian.cpp): H = the symmetric part
// of the host's Hessian at it.x, it.g = the gradient the Hessian callback
// gives with it. NaN or infinite entries in either end the run
// (nonFiniteStop) and leave it.hessianFinite false.
void evaluateIterationHessian(OptimizationTask& task, MinimizationIterate& it);

// The eigen decomposition of a finite it.H, once per iteration; none when
// LAPACK fails.
void decomposeIterationHessian(MinimizationIterate& it);

// The direction and step of one iteration (direction_choice.cpp): fills
// chosenKind, chosenDirection, alpha, sign and flags of the iterate from
// its tried kinds and directions, with one line-search result per kind;
// the fallback appends the kinds it tries, with their directions and
// results.
void chooseDirection(OptimizationTask& task, MinimizationIterate& it);
