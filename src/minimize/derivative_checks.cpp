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
#include "dense/random.h"
#include "dense/safe_divide.h"
#include "minimize/driver_errors.h"
#include "minimize/mat4_file.h"
#include "minimize/quiet_arithmetic.h"
#include "minimize/record_format.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;

// |a - b| / max(|a|, |b|), the plain difference when both are 0; equal
// values (infinities included) differ by 0.
double relativeDifference(double a, double b) {
  if (a == b) return 0.0;
  return quietly([&] { return relativeError(std::fabs(a - b), std::fmax(std::fabs(a), std::fabs(b))); });
}

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

void dump(const MatrixTemplate<double>& m, const char* name) {
  std::string path, why;
  if (!writeMat4File(m, name, path, &why))
    std::cerr << "Could not write " << path << ": " << why << "\n";
}

void dumpVector(const Vec& v, const char* name) { dump(MatrixTemplate<double>(v.size(), 1, v), name); }

void reportGradients(const Vec& g, const Vec& gFd) {
  {
    QuietArithmetic quiet;  // the summaries compare entries that may be NaN
    std::cerr << "      g(1:16) = " << ShowVector<double>(head(g, 16)) << "\n";
    std::cerr << "check g(1:16) = " << ShowVector<double>(head(gFd, 16)) << "\n";
  }
  if (opts.dumpCheckErrors != 0) {
    dumpVector(g, "gerr");
    dumpVector(gFd, "gfderr");
  }
}

void reportHessians(const MatrixTemplate<double>& H, const MatrixTemplate<double>& HFd) {
  {
    QuietArithmetic quiet;
    std::cerr << "      H(1:4,1:4) = " << ShowMatrixTemplate<double>(H.sub(0, std::min<std::size_t>(4, H.rows)));
    std::cerr << "check H(1:4,1:4) = "
              << ShowMatrixTemplate<double>(HFd.sub(0, std::min<std::size_t>(4, HFd.rows)));
  }
  if (opts.dumpCheckErrors != 0) {
    dump(H, "H-err");
    dump(HFd, "Hfd-err");
  }
}

}  // namespace

void checkDerivatives(OptimizationTask& task, const MinimizationIterate& it, bool hessProduct) {
  HostEnvironment& host = task.host;
  const Vec& x = it.x;
  const std::size_t n = x.size();
  const double f = it.f;
  OutputRecord record;

  double relF = 0.0, relG = 0.0;
  bool ranRelF = false, ranRelG = false;
  GradientComparison gradientCheck, hessevalCheck;
  Vec gChk, gFd;
  FdGradient fullFd;
  bool haveFullFd = false;
  bool ranHessian = false;
  double hessianError = 0.0;
  MatrixTemplate<double> HFd;
  const bool hessianUsable = it.needHessian && it.hessianFinite;

  if (opts.checkgradient >= 0 || opts.checkHessian >= 0) {
    relF = relativeDifference(f, task.objectiveAt(x));
    ranRelF = true;

    if (opts.checkgradient >= 0 && task.gradient != nullptr) {
      double fG = 0.0;
      bool fWritten = false;
      const double start = omp_get_wtime();
      gChk = task.gradeval(x, &fG, &fWritten);
      setRecord(record, "tg", omp_get_wtime() - start);
      setRecord(record, "ng", normfro(gChk));
      if (fWritten) {
        relG = relativeDifference(f, fG);
        ranRelG = true;
      }
      if (opts.checkgradient > 1 || (opts.checkgradient == 0 && n <= 4999)) {
        fullFd = task.fdgradientWithNoise(x, f);
        haveFullFd = true;
        gFd = fullFd.g;
        gradientCheck = compareGradients(gChk, fullFd);
      } else {
        const Vec v = randvec(static_cast<long>(n));
        ++state.nPerturb;
        const double h = 1e-8 * std::fmax(normfro(x), 1.0);
        const double fPlus = task.objectiveAt(quietly([&] { return Vec(x + h * v); }));
        const double fMinus = task.objectiveAt(quietly([&] { return Vec(x - h * v); }));
        QuietArithmetic quiet;
        const double dFd = (fPlus - fMinus) / (2.0 * h);
        double dG = 0.0;
        for (std::size_t i = 0; i < n; ++i) dG += gChk[i] * v[i];
        gFd = Vec{dFd};
        gradientCheck.ran = true;
        gradientCheck.value = relmaxnorm(Vec{dG}, gFd);
        gradientCheck.difference = std::fabs(dG - dFd);
        gradientCheck.noise = 10.0 * DBL_EPSILON *
                              ((std::fabs(fPlus) + std::fabs(fMinus)) / (2.0 * h) +
                               normfro(x) * std::fabs(fPlus + fMinus - 2.0 * f) / (h * h * normfro(v)));
      }
      setRecord(record, "check-gradient", gradientCheck.value);
    }

    if (hessianUsable && opts.checkHessian >= 0) {
      if (opts.checkHessian > 1 || (opts.checkHessian == 0 && n <= 99)) {
        Vec gScratch;
        HFd = task.fdHessian(x, gScratch, nullptr);
        hessianError = quietly([&] {
          MatrixTemplate<double> diff;
          do_binminus(diff, HFd, it.H);
          return relativeError(normfro(diff.elements), normfro(HFd.elements));
        });
        ranHessian = true;
        if (!haveFullFd) {
          fullFd = task.fdgradientWithNoise(x, f);
          haveFullFd = true;
        }
        hessevalCheck = compareGradients(it.g, fullFd);
        setRecord(record, "check-hesseval-gradient", hessevalCheck.value);
      } else if (task.gradient != nullptr) {
        const Vec v = randvec(static_cast<long>(n));
        Vec gScratch;
        const Vec hvFd = task.fdHessianProductExactGradient(x, v, gScratch, nullptr);
        hessianError = relmaxnorm(hvFd, matrixVectorProduct(it.H, v));
        ranHessian = true;
      }
    }

    if (hessProduct && opts.checkHessian >= 0 && task.gradient != nullptr) {
      const Vec v = randvec(static_cast<long>(n));
      Vec w(0.0, n), gScratch;
      const MatrixTemplate<double> W = task.hessveceval(x, MatrixTemplate<double>(n, 1, v), w);
      const Vec hvFd = task.fdHessianProductExactGradient(x, v, gScratch, nullptr);
      hessianError = relmaxnorm(hvFd, W.elements);
      ranHessian = true;
    }
    if (ranHessian) setRecord(record, "check-Hessian", hessianError);

    if (!record.empty()) task.deliver(record, x, f);
  }

  auto fail = [&](const char* message, double value) {
    driverStop(host, message + formatRecordDouble(value), -1);
  };
  if (ranHessian && quietGreater(hessianError, opts.tolCheckHess)) {
    reportHessians(it.H, HFd);
    fail("Hessian is incorrect: ", hessianError);
  }
  if (gradientCheck.fails(opts.tolCheckGrad)) {
    reportGradients(gChk, gFd);
    fail("gradient is incorrect: ", gradientCheck.value);
  }
  if (hessevalCheck.fails(opts.tolCheckGrad)) {
    reportGradients(it.g, fullFd.g);
    fail("gradient is incorrect: ", hessevalCheck.value);
  }
  if (ranRelF && quietGreater(relF, opts.tolCheckFunc))
    fail("objective function result check failed: ", relF);
  if (ranRelG && quietGreater(relG, opts.tolCheckFunc))
    fail("gradient function result is incorrect: ", relG);
  if (gradientCheck.ran && std::isnan(gradientCheck.value))
    fail("gradient is NaN: ", gradientCheck.value);
  if (hessevalCheck.ran && std::isnan(hessevalCheck.value))
    fail("gradient is NaN: ", hessevalCheck.value);
  const double gNorm = normfro(it.g);
  if (std::isnan(gNorm)) fail("gradient is NaN: ", gNorm);
  if ((ranHessian && std::isnan(hessianError)) ||
      (it.needHessian && it.hessianEvaluated && std::isnan(normfro(it.H.elements))))
    fail("Hessian is NaN: ", hessianError);
}
