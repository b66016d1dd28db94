// Derivative checks of the first iteration.
//
// With x, f = f(x), the host's gradient g_c and Hessian H, n variables:
//
//   function          relF = |f - f(x)| / max(|f|, |f(x)|), a second call at x
//   gradient value    relG = |f - f_g| / max(|f|, |f_g|), f_g the objective the
//                     gradient callback reports (only when it writes one)
//   gradient, full    relmaxnorm(g_c, g_fd), g_fd central differences
//                     (checkgradient > 1, or 0 with n <= 4999)
//   gradient, along v relmaxnorm(g_c.v, (f(x + hv) - f(x - hv)) / 2h), v random
//   Hessian, full     ||H_fd - H||_F / ||H_fd||_F (checkHessian > 1, or 0 with n <= 99),
//                     and relmaxnorm(g_H, g_fd) for the Hessian callback's gradient g_H
//   Hessian, along v  relmaxnorm((g(x + hv) - g(x - hv)) / 2h, H v)
//   products          relmaxnorm((g(x + hv) - g(x - hv)) / 2h, W), W the host's H v
//
// A relative error 1 is all a comparison with a zero gradient can give, so
// at a stationary point (a start at the solution) a gradient check also
// passes when ||g_c - g_fd|| is within the rounding noise of the
// differences (FdGradient). Checks built on differences of gradients need
// the host's gradient and are left out without one.

#include "minimize/derivative_checks.h"

#include <omp.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <iostream>
#include <string>

#include "dense/norms.h"
#include "dense/printers.h"
#include "dense/quiet_compare.h"
#include "dense/quiet_scope.h"
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "driver/driver_errors.h"
#include "driver/fd_step.h"
#include "driver/mat4_file.h"
#include "driver/record_format.h"
#include "linear/vector_kernels.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

// |a - b| / max(|a|, |b|), the plain difference when both are 0.
double relativeDifference(double a, double b) { return relmaxnorm(Vec{a}, Vec{b}); }

// One comparison of the host's gradient with differences: the reported
// relative error, and the absolute error with the noise it may reach.
struct GradientComparison {
  bool ran = false;
  double value = 0.0;
  double difference = 0.0;
  double noise = 0.0;

  bool fails(double tol) const {
    return ran && quietGreater(value, tol) && !quietLessEqual(difference, noise);
  }
};

GradientComparison compareGradients(const Vec& g, const FdGradient& fd) {
  return {true, relmaxnorm(g, fd.g), quietly([&] { return normfro(Vec(g - fd.g)); }), fd.noise};
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
    if (ranHessian_) setRecord(record_, "check-Hessian", hessianError_);
    if (!record_.empty()) task_.deliver(record_, x_, it_.f);
  }

  // Every failed threshold through zelkStop, code -1, in this order.
  void reportFailures() {
    if (ranHessian_ && quietGreater(hessianError_, opts.tolCheckHess)) {
      reportHessians(it_.H, HFd_);
      fail("Hessian is incorrect: ", hessianError_);
    }
    if (gradientCheck_.fails(opts.tolCheckGrad)) {
      reportGradients(gChk_, gFd_);
      fail("gradient is incorrect: ", gradientCheck_.value);
    }
    if (hessevalCheck_.fails(opts.tolCheckGrad)) {
      reportGradients(it_.g, fullFd_.g);
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
    if ((ranHessian_ && std::isnan(hessianError_)) ||
        (it_.needHessian && it_.hessianEvaluated && std::isnan(normfro(it_.H.elements))))
      fail("Hessian is NaN: ", hessianError_);
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
      gFd_ = fullDifferences().g;
      gradientCheck_ = compareGradients(gChk_, fullFd_);
    } else {
      checkGradientAlongRandomDirection();
    }
    setRecord(record_, "check-gradient", gradientCheck_.value);
  }

  // g_c.v against (f(x + hv) - f(x - hv)) / 2h, with the noise of the full
  // differences for the step along v (the rounding of x + hv spreads over
  // every component, scaled by ||x|| / ||v||).
  void checkGradientAlongRandomDirection() {
    const Vec v = randvec(static_cast<long>(n_));
    ++state.nPerturb;
    const double h = fdStep(1e-8, x_);
    const double fPlus = task_.objectiveAt(quietly([&] { return Vec(x_ + h * v); }));
    const double fMinus = task_.objectiveAt(quietly([&] { return Vec(x_ - h * v); }));
    const QuietFpScope quiet;
    const double dFd = (fPlus - fMinus) / (2.0 * h);
    const double dG = dotProduct(gChk_, v);
    gFd_ = Vec{dFd};
    gradientCheck_.ran = true;
    gradientCheck_.value = relmaxnorm(Vec{dG}, gFd_);
    gradientCheck_.difference = std::fabs(dG - dFd);
    gradientCheck_.noise =
        10.0 * DBL_EPSILON *
        ((std::fabs(fPlus) + std::fabs(fMinus)) / (2.0 * h) +
         normfro(x_) * std::fabs(fPlus + fMinus - 2.0 * it_.f) / (h * h * normfro(v)));
  }

  void checkHessian() {
    if (opts.checkHessian > 1 || (opts.checkHessian == 0 && n_ <= 99)) {
      Vec gScratch;
      HFd_ = task_.fdHessian(x_, gScratch, nullptr);
      hessianError_ = quietly([&] {
        MatrixTemplate<double> diff;
        do_binminus(diff, HFd_, it_.H);
        return relativeError(normfro(diff.elements), normfro(HFd_.elements));
      });
      ranHessian_ = true;
      hessevalCheck_ = compareGradients(it_.g, fullDifferences());
      setRecord(record_, "check-hesseval-gradient", hessevalCheck_.value);
    } else if (task_.gradient != nullptr) {
      const Vec v = randvec(static_cast<long>(n_));
      Vec gScratch;
      const Vec hvFd = task_.fdHessianProductExactGradient(x_, v, gScratch, nullptr);
      hessianError_ = relmaxnorm(hvFd, quietly([&] { return matrixVectorProduct(it_.H, v); }));
      ranHessian_ = true;
    }
  }

  void checkProducts() {
    const Vec v = randvec(static_cast<long>(n_));
    Vec w(0.0, n_), gScratch;
    const MatrixTemplate<double> W = task_.hessveceval(x_, MatrixTemplate<double>(n_, 1, v), w);
    const Vec hvFd = task_.fdHessianProductExactGradient(x_, v, gScratch, nullptr);
    hessianError_ = relmaxnorm(hvFd, W.elements);
    ranHessian_ = true;
  }

  // The full central-difference gradient, made once.
  const FdGradient& fullDifferences() {
    if (!haveFullFd_) fullFd_ = task_.fdgradientWithNoise(x_, it_.f);
    haveFullFd_ = true;
    return fullFd_;
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
  GradientComparison gradientCheck_, hessevalCheck_;
  Vec gChk_, gFd_;
  FdGradient fullFd_;
  bool haveFullFd_ = false;
  bool ranHessian_ = false;
  double hessianError_ = 0.0;
  MatrixTemplate<double> HFd_;
};

}  // namespace

void checkDerivatives(OptimizationTask& task, const MinimizationIterate& it, bool hessProduct) {
  DerivativeChecks checks(task, it);
  checks.run(hessProduct);
  checks.reportFailures();
}
