// Derivative checks of the first iteration.
//
// With x, f = f(x), the host's gradient g_c and Hessian H, n variables:
//
//   function          relF = |f - f(x)| / max(|f|, |f(x)|), a second call at x
//   gradient value    relG = |f - f_g| / max(|f|, |f_g|), f_g the objective the
//                     gradient callback reports (only when it writes one)
//   gradient, full    g_c against D_i = (f(x + h_i e_i) - f(x - h_i e_i)) / 2h_i
//                     (checkgradient > 1, or 0 with n <= 4999)
//   gradient, along v g_c.v against (f(x + tv) - f(x - tv)) / 2t, v random
//   Hessian, full     H against second differences of f (checkHessian > 1, or 0
//                     with n <= 99), and the Hessian callback's gradient g_H
//                     against the full D
//   Hessian, along v  H v against (g(x + tv) - g(x - tv)) / 2t
//   products          the host's H v against the same
//
// Every step is scaled to its own variable (driver/fd_step.h), and every
// comparison climbs the ladder of steps of driver/central_difference.h
// only as far as its verdict needs, and reports the error judged there: the
// part of the host's derivative's distance from the best difference that
// the difference's own bound (its rounding, and its truncation seen from a
// wider step) does not explain, relative to the larger of the two. Where
// the narrow steps drown in rounding (a large f, an offset added to f) the
// entries are judged by wider steps that do not, so a right derivative
// passes at a start at the solution, far from it, or on a badly scaled
// problem, and a wrong one fails by what it is off. The reports and dumps
// show the differences each entry was judged by. Checks built on
// differences of gradients need the host's gradient and are left out
// without one.

#include "minimize/derivative_checks.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <optional>
#include <string>

#include "dense/norms.h"
#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/vector_kernels.h"
#include "driver/central_difference.h"
#include "driver/driver_errors.h"
#include "driver/fd_step.h"
#include "driver/mat4_file.h"
#include "driver/record_format.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

// |a - b| / max(|a|, |b|), the plain difference when both are 0.
double relativeDifference(double a, double b) { return relmaxnorm(Vec{a}, Vec{b}); }

// One comparison of a host's derivative with differences: whether it ran
// and the error it reports.
struct Comparison {
  bool ran = false;
  double value = 0.0;

  bool fails(double tol) const { return ran && quietGreater(value, tol); }
};

// a against the ladder's differences (judgedError).
Comparison compare(const Vec& a, DifferenceLadder& ladder, double tol) {
  return {true, judgedError(ladder, tol, [&](const CentralDifference& d) { return judge(a, d); })};
}

Vec head(const Vec& v, std::size_t count) {
  return Vec(v[std::slice(0, std::min(count, v.size()), 1)]);
}

void dump(const MatrixTemplate<double>& m, const char* name) { dumpMat4File(m, name); }

void dumpVector(const Vec& v, const char* name) { dump(MatrixTemplate<double>(v.size(), 1, v), name); }

void reportGradients(const Vec& g, const Vec& gFd) {
  std::cerr << "      g(1:16) = " << ShowVector<double>(head(g, 16)) << "\n";
  std::cerr << "check g(1:16) = " << ShowVector<double>(head(gFd, 16)) << "\n";
  if (opts.dumpCheckErrors != 0) {
    dumpVector(g, "gerr");
    dumpVector(gFd, "gfderr");
  }
}

void reportHessians(const MatrixTemplate<double>& H, const MatrixTemplate<double>& HFd) {
  std::cerr << "      H(1:4,1:4) = "
            << ShowMatrixTemplate<double>(H.sub(0, std::min<std::size_t>(4, H.rows)));
  std::cerr << "check H(1:4,1:4) = "
            << ShowMatrixTemplate<double>(HFd.sub(0, std::min<std::size_t>(4, HFd.rows)));
  if (opts.dumpCheckErrors != 0) {
    dump(H, "H-err");
    dump(HFd, "Hfd-err");
  }
}

// The checks of one first iteration, step by step; each value stays 0 and
// its threshold untested when its check does not run.
class DerivativeChecks {
 public:
  DerivativeChecks(OptimizationTask& task, const MinimizationIterate& it)
      : task_(task), it_(it), x_(it.x), n_(it.x.size()) {}

  void run(bool hessProduct) {
    if (opts.checkgradient < 0 && opts.checkHessian < 0) return;
    relF_ = relativeDifference(it_.f, task_.objectiveAt(x_));
    ranRelF_ = true;
    if (opts.checkgradient >= 0 && task_.gradient != nullptr) checkGradient();
    if (it_.needHessian && it_.hessianFinite && opts.checkHessian >= 0) checkHessian();
    if (hessProduct && opts.checkHessian >= 0 && task_.gradient != nullptr) checkProducts();
    if (hessianCheck_.ran) setRecord(record_, "check-Hessian", hessianCheck_.value);
    if (!record_.empty()) task_.deliver(record_, x_, it_.f);
  }

  // Every failed threshold through zelkStop, code -1, in this order.
  void reportFailures() {
    if (hessianCheck_.fails(opts.tolCheckHess)) {
      reportHessians(it_.H, HFd_);
      fail("Hessian is incorrect: ", hessianCheck_.value);
    }
    if (gradientCheck_.fails(opts.tolCheckGrad)) {
      reportGradients(gChk_, gFd_);
      fail("gradient is incorrect: ", gradientCheck_.value);
    }
    if (hessevalCheck_.fails(opts.tolCheckGrad)) {
      reportGradients(it_.g, fullFd_->reference().value);
      fail("gradient is incorrect: ", hessevalCheck_.value);
    }
    if (ranRelF_ && quietGreater(relF_, opts.tolCheckFunc))
      fail("objective function result check failed: ", relF_);
    if (ranRelG_ && quietGreater(relG_, opts.tolCheckFunc))
      fail("gradient function result is incorrect: ", relG_);
    if (gradientCheck_.ran && std::isnan(gradientCheck_.value))
      fail("gradient is NaN: ", gradientCheck_.value);
    if (hessevalCheck_.ran && std::isnan(hessevalCheck_.value))
      fail("gradient is NaN: ", hessevalCheck_.value);
    if (const double gNorm = normfro(it_.g); std::isnan(gNorm)) fail("gradient is NaN: ", gNorm);
    if ((hessianCheck_.ran && std::isnan(hessianCheck_.value)) ||
        (it_.needHessian && it_.hessianEvaluated && std::isnan(normfro(it_.H.elements))))
      fail("Hessian is NaN: ", hessianCheck_.value);
  }

 private:
  void checkGradient() {
    double fG = 0.0;
    bool fWritten = false;
    const double start = omp_get_wtime();
    gChk_ = task_.gradeval(x_, &fG, &fWritten);
    setRecord(record_, "tg", omp_get_wtime() - start);
    setRecord(record_, "ng", normfro(gChk_));
    if (fWritten) {
      relG_ = relativeDifference(it_.f, fG);
      ranRelG_ = true;
    }
    if (opts.checkgradient > 1 || (opts.checkgradient == 0 && n_ <= 4999)) {
      gradientCheck_ = compare(gChk_, fullDifferences(), opts.tolCheckGrad);
      gFd_ = fullDifferences().reference().value;
    } else {
      checkGradientAlongRandomDirection();
    }
    setRecord(record_, "check-gradient", gradientCheck_.value);
  }

  // g_c.v against (f(x + tv) - f(x - tv)) / 2t.
  void checkGradientAlongRandomDirection() {
    const StepAlong along = stepAlong(1e-8, x_, randvec(static_cast<long>(n_)));
    ++state.nPerturb;
    DifferenceLadder ladder(kFirstDifferences,
                            [&](double widen) { return objectiveDifferenceAlong(along, widen); });
    const Vec dG{quietly([&] { return dotProduct(gChk_, along.v); })};
    gradientCheck_ = compare(dG, ladder, opts.tolCheckGrad);
    gFd_ = ladder.reference().value;
  }

  void checkHessian() {
    const double tol = opts.tolCheckHess;
    if (opts.checkHessian > 1 || (opts.checkHessian == 0 && n_ <= 99)) {
      DifferenceLadder ladder(kSecondDifferences, [&](double widen) {
        HessianDifferences second = task_.fdHessianDifferences(x_, widen);
        return CentralDifference{std::move(second.value.elements),
                                 std::move(second.error.elements)};
      });
      hessianCheck_ = compare(it_.H.elements, ladder, tol);
      // The differences each entry was judged by, to show and dump.
      HFd_ = MatrixTemplate<double>(n_, n_, ladder.reference().value);
      hessevalCheck_ = compare(it_.g, fullDifferences(), opts.tolCheckGrad);
      setRecord(record_, "check-hesseval-gradient", hessevalCheck_.value);
    } else if (task_.gradient != nullptr) {
      const StepAlong along = stepAlong(1e-8, x_, randvec(static_cast<long>(n_)));
      const Vec Hv = quietly([&] { return matrixVectorProduct(it_.H, along.v); });
      hessianCheck_ = compareWithGradientDifferences(Hv, along, tol);
    }
  }

  // The host's product H v for a random v against differences of gradients.
  void checkProducts() {
    const StepAlong along = stepAlong(1e-8, x_, randvec(static_cast<long>(n_)));
    Vec w(0.0, n_);
    const MatrixTemplate<double> W =
        task_.hessveceval(x_, MatrixTemplate<double>(n_, 1, along.v), w);
    hessianCheck_ = compareWithGradientDifferences(W.elements, along, opts.tolCheckHess);
  }

  Comparison compareWithGradientDifferences(const Vec& Hv, const StepAlong& along, double tol) {
    DifferenceLadder ladder(kFirstDifferences, [&](double widen) {
      return task_.gradientDifferencesAlong(x_, along.v, widen * along.t);
    });
    return compare(Hv, ladder, tol);
  }

  // (f(x + t v) - f(x - t v)) / 2t for t = widen along.t.
  CentralDifference objectiveDifferenceAlong(const StepAlong& along, double widen) {
    const double t = widen * along.t;
    const double fPlus = task_.objectiveAt(quietly([&] { return Vec(x_ + t * along.v); }));
    const double fMinus = task_.objectiveAt(quietly([&] { return Vec(x_ - t * along.v); }));
    return centralDifference(Vec{fPlus}, Vec{fMinus}, t);
  }

  // The full central-difference gradient, its ladder shared by the
  // gradient checks.
  DifferenceLadder& fullDifferences() {
    if (!fullFd_)
      fullFd_.emplace(kFirstDifferences,
                      [&](double widen) { return task_.fdGradientDifferences(x_, widen); });
    return *fullFd_;
  }

  void fail(const char* message, double value) {
    driverStop(task_.host, message + formatRecordDouble(value), -1);
  }

  OptimizationTask& task_;
  const MinimizationIterate& it_;
  const Vec& x_;
  const std::size_t n_;
  OutputRecord record_;
  double relF_ = 0.0, relG_ = 0.0;
  bool ranRelF_ = false, ranRelG_ = false;
  Comparison gradientCheck_, hessevalCheck_, hessianCheck_;
  Vec gChk_, gFd_;
  std::optional<DifferenceLadder> fullFd_;
  MatrixTemplate<double> HFd_;
};

}  // namespace

void checkDerivatives(OptimizationTask& task, const MinimizationIterate& it, bool hessProduct) {
  DerivativeChecks checks(task, it);
  checks.run(hessProduct);
  checks.reportFailures();
}
