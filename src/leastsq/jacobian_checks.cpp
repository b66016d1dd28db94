// Derivative checks of a least-squares run's first iteration.
//
// With x, r = F(x), a random v in (0, 1)^n (as stored at x +- t v) and w in
// (0, 1)^m, and central differences of F whose steps are scaled to each
// variable (driver/fd_step.h): h_j = 1e-8 s_j along e_j, and along v the
// largest power of two t that moves no x_j by more than 1e-8 s_j:
//
//   Jacobian callback (J2, residuals rJ)
//     residuals      relmaxnorm(r, rJ): the callback must write F(x)
//     full           eJ: J2 against Jfd, by columns
//                    (F(x + h_j e_j) - F(x - h_j e_j)) / 2h_j
//                    (checkgradient > 1, or 1 with n < 5000)
//     along v        otherwise eJ = eJv: J2 v against Dv, the difference
//                    (F(x + t v) - F(x - t v)) / 2t
//   product callback (J v, residuals rv)
//     residuals      relmaxnorm(r, rv)
//     product        eJv: J v against Dv
//   transposed product callback (J^T w, residuals rw)
//     residuals      relmaxnorm(r, rw)
//     transpose      eJtw: (J^T w) . v against w . Dv, whose error is
//                    sum_i |w_i| e_i
//
// where relmaxnorm(a, b) = ||a - b|| / max(||a||, ||b||), the plain
// difference when both are zero (so a start at a root passes the residual
// checks), and the comparisons with differences climb the ladder of steps
// of driver/central_difference.h as far as their verdicts need and report
// the error judged there: what the best difference's own bound (rounding,
// and truncation seen from a wider step) does not explain. The three
// checks along v share one ladder. The scalars of the transpose test lie
// near 0 now and then (J has entries of both signs, w and v have not);
// their difference is then the rounding of Dv, which the bound covers.
// Each verdict is tested only when its check ran; a NaN error fails. The
// product and residual thresholds are tolCheckGrad and tolCheckFunc.

#include "leastsq/jacobian_checks.h"

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
#include "leastsq/record_setters.h"
#include "options/global_state.h"
#include "options/opts.h"

namespace {

using Vec = std::valarray<double>;
using Matrix = MatrixTemplate<double>;

// An error measure of one check; tested only when its check ran.
struct CheckValue {
  bool ran = false;
  double value = 0.0;

  void set(double v) {
    ran = true;
    value = v;
  }
  // A NaN error fails its check; a NaN threshold, which no error exceeds,
  // fails none (the checks' rule is "error > threshold").
  bool exceeds(double tol) const {
    return ran && (isNaNBits(value) || quietGreater(value, tol));
  }
};

Vec head(const Vec& v, std::size_t count) {
  return Vec(v[std::slice(0, std::min(count, v.size()), 1)]);
}

Matrix leadingBlock(const Matrix& A, std::size_t rows, std::size_t cols) {
  rows = std::min(rows, A.rows);
  cols = std::min(cols, A.cols);
  Matrix block(rows, cols);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) block(i, j) = A(i, j);
  return block;
}

Matrix column(const Vec& v) { return Matrix(v.size(), 1, v); }

// The first k values as a column for the matrix printer.
Matrix leadingColumn(const Vec& v, std::size_t k) { return column(head(v, k)); }

// Seconds of one host call.
template <class Call>
double timed(Call&& call) {
  const double start = omp_get_wtime();
  call();
  return omp_get_wtime() - start;
}

class JacobianChecks {
 public:
  JacobianChecks(TrovikOptimizationTask& task, const Vec& x, const Vec& r, const Matrix& J)
      : task_(task),
        x_(x),
        r_(r),
        J_(J),
        n_(x.size()),
        m_(r.size()),
        along_(stepAlong(1e-8, x, randvec(static_cast<long>(n_)))),
        v_(along_.v),
        w_(randvec(static_cast<long>(m_))) {}

  void run() {
    if (task_.jacobian != nullptr) checkJacobianCallback();
    if (task_.jv != nullptr) checkProductCallback();
    if (task_.vj != nullptr) checkTransposedProductCallback();
    if (!record_.empty()) task_.report(x_, r_, record_);
  }

  // Every failed check through zelkStop, code -1, in this order.
  void reportFailures() {
    const double tolGrad = opts.tolCheckGrad, tolFunc = opts.tolCheckFunc;
    if (jacobianError_.exceeds(tolGrad)) {
      showJacobians();
      fail("Jacobian is incorrect: ", jacobianError_);
    }
    if (productError_.exceeds(tolGrad)) {
      showProducts();
      fail("Jacobian-vector product is incorrect: ", productError_);
    }
    if (transposeError_.exceeds(tolGrad)) {
      std::cerr << "      w*J*v = " << formatRecordDouble(wJv_) << "\n"
                << "check w*J*v = " << formatRecordDouble(Jtwv_) << "\n";
      if (opts.dumpCheckErrors != 0) dumpMat4File(column(Jtw_), "Jtwerr");
      fail("vector-Jacobian product is incorrect: ", transposeError_);
    }
    if (jacobianResidualError_.exceeds(tolFunc))
      fail("Jacobian function result is incorrect: ", jacobianResidualError_);
    if (productResidualError_.exceeds(tolFunc))
      fail("Jacobian-vector function result is incorrect: ", productResidualError_);
    if (transposeResidualError_.exceeds(tolFunc))
      fail("vector-Jacobian function result is incorrect: ", transposeResidualError_);
    if (jacobianError_.ran && std::isnan(jacobianError_.value))
      fail("gradient is NaN: ", jacobianError_);
  }

 private:
  void checkJacobianCallback() {
    const double tol = opts.tolCheckGrad;
    Vec rJ(0.0, m_);
    J2_ = Matrix(m_, n_);
    setRecordDouble(record_, "tJ", timed([&] { task_.Jeval(x_, rJ, J2_); }));
    setRecordDouble(record_, "nJ", normfro(J2_.elements));
    jacobianResidualError_.set(relmaxnorm(r_, rJ));
    const int level = opts.checkgradient;
    if (level > 1 || (level == 1 && n_ < 5000)) {
      DifferenceLadder ladder(kFirstDifferences,
                              [&](double widen) { return differencedJacobian(widen); });
      jacobianError_.set(judgedError(ladder, tol, [&](const CentralDifference& d) {
        return judge(J2_.elements, d);
      }));
      Jfd_ = Matrix(m_, n_, ladder.reference().value);
    } else {
      Vec e1(0.0, n_);
      if (n_ > 0) e1[0] = 1.0;
      J2e1_ = quietly([&] { return matrixVectorProduct(J2_, e1); });
      fdE1_ = Vec(0.0, m_);
      Vec residual(0.0, m_);
      task_.fdJVeval(x_, residual, e1, fdE1_);
      const Vec J2v = quietly([&] { return matrixVectorProduct(J2_, v_); });
      jacobianError_.set(judgedError(differencesAlongV(), tol, [&](const CentralDifference& d) {
        return judge(J2v, d);
      }));
      setRecordDouble(record_, "eJv", jacobianError_.value);
    }
    setRecordDouble(record_, "eJ", jacobianError_.value);
  }

  void checkProductCallback() {
    Vec rv(0.0, m_);
    Jv_ = Vec(0.0, m_);
    setRecordDouble(record_, "tJv", timed([&] { task_.JVeval(x_, rv, v_, Jv_); }));
    setRecordDouble(record_, "nv", normfro(v_));
    setRecordDouble(record_, "nJv", normfro(Jv_));
    productResidualError_.set(relmaxnorm(r_, rv));
    productError_.set(judgedError(differencesAlongV(), opts.tolCheckGrad,
                                  [&](const CentralDifference& d) { return judge(Jv_, d); }));
    setRecordDouble(record_, "eJv", productError_.value);
  }

  void checkTransposedProductCallback() {
    Vec rw(0.0, m_);
    Jtw_ = Vec(0.0, n_);
    setRecordDouble(record_, "tJtw", timed([&] { task_.VJeval(x_, rw, w_, Jtw_); }));
    setRecordDouble(record_, "nw", normfro(w_));
    setRecordDouble(record_, "nJtw", normfro(Jtw_));
    transposeResidualError_.set(relmaxnorm(r_, rw));
    setRecordDouble(record_, "eJtr", productResidualError_.value);
    Jtwv_ = quietly([&] { return dotProduct(Jtw_, v_); });
    transposeError_.set(
        judgedError(differencesAlongV(), opts.tolCheckGrad, [&](const CentralDifference& Dv) {
          wJv_ = quietly([&] { return dotProduct(w_, Dv.value); });
          const double bound = quietly([&] {
            double sum = 0.0;
            for (std::size_t i = 0; i < m_; ++i) sum += std::fabs(w_[i]) * Dv.error[i];
            return sum;
          });
          return judge(Vec{Jtwv_}, Vec{wJv_}, Vec{bound});
        }));
    setRecordDouble(record_, "eJtw", transposeError_.value);
  }

  // Central differences of F along each unit vector, `widen` times the
  // check's steps, row-major m x n ("cJfd").
  CentralDifference differencedJacobian(double widen) {
    ++state.nFdJac;
    Matrix plus(m_, n_), minus(m_, n_), steps(m_, n_);
    Vec xh = x_, rPlus(0.0, m_), rMinus(0.0, m_);
    for (std::size_t j = 0; j < n_; ++j) {
      const double xj = x_[j], h = widen * coordinateStep(1e-8, xj);
      xh[j] = quietly([&] { return xj + h; });
      task_.Feval(xh, rPlus);
      xh[j] = quietly([&] { return xj - h; });
      task_.Feval(xh, rMinus);
      xh[j] = xj;
      for (std::size_t i = 0; i < m_; ++i) {
        plus(i, j) = rPlus[i];
        minus(i, j) = rMinus[i];
        steps(i, j) = h;
      }
    }
    return centralDifference(plus.elements, minus.elements, steps.elements);
  }

  // The differences along v, their ladder shared by the checks.
  DifferenceLadder& differencesAlongV() {
    if (!fdV_)
      fdV_.emplace(kFirstDifferences, [&](double widen) {
        return task_.residualDifferencesAlong(x_, v_, widen * along_.t, m_);
      });
    return *fdV_;
  }

  void showJacobians() {
    if (Jfd_.elements.size() != 0) {
      const bool whole = opts.checkgradient >= 2 && m_ <= 499;
      const std::size_t cols = std::min<std::size_t>(n_, 16);
      const std::size_t rows = std::min<std::size_t>(m_, std::max<std::size_t>(1, 16 / n_));
      if (whole) {
        std::cerr << "      J = " << ShowMatrixTemplate<double>(J2_) << "\n"
                  << "check J = " << ShowMatrixTemplate<double>(Jfd_) << "\n";
      } else {
        const std::string at = "(1:" + std::to_string(rows) + ",1:" + std::to_string(cols) + ") = ";
        std::cerr << "      J" << at << ShowMatrixTemplate<double>(leadingBlock(J2_, rows, cols))
                  << "\n"
                  << "check J" << at << ShowMatrixTemplate<double>(leadingBlock(Jfd_, rows, cols))
                  << "\n";
      }
    } else {
      const std::size_t k = std::min<std::size_t>(m_, 16);
      std::cerr << "      J(1:" << k
                << ",1) = " << ShowMatrixTemplate<double>(leadingColumn(J2e1_, k)) << "\n"
                << "check J(1:" << k
                << ",1) = " << ShowMatrixTemplate<double>(leadingColumn(fdE1_, k)) << "\n";
    }
    if (opts.dumpCheckErrors == 0) return;
    dumpMat4File(J_, "Jerr");
    dumpMat4File(J2_, "Jerr2");
    if (Jfd_.elements.size() != 0) dumpMat4File(Jfd_, "Jfderr");
    if (fdE1_.size() != 0) dumpMat4File(column(fdE1_), "Jfderr2");
  }

  void showProducts() {
    const Vec& fdV = differencesAlongV().reference().value;
    const std::size_t k = std::min<std::size_t>(m_, 16);
    std::cerr << "      Jv(1:" << k << ") = " << ShowMatrixTemplate<double>(leadingColumn(Jv_, k))
              << "\n"
              << "check Jv(1:" << k << ") = " << ShowMatrixTemplate<double>(leadingColumn(fdV, k))
              << "\n";
    if (opts.dumpCheckErrors == 0) return;
    dumpMat4File(column(Jv_), "Jverr");
    dumpMat4File(column(fdV), "Jvfderr");
  }

  void fail(const char* message, const CheckValue& error) {
    driverStop(task_.host, message + formatRecordDouble(error.value), -1);
  }

  TrovikOptimizationTask& task_;
  const Vec& x_;
  const Vec& r_;
  const Matrix& J_;
  const std::size_t n_, m_;
  const StepAlong along_;  // v and the step t along it
  const Vec& v_;
  const Vec w_;
  IterationRecord record_;

  Matrix J2_, Jfd_;
  Vec J2e1_, fdE1_, Jv_, Jtw_;
  std::optional<DifferenceLadder> fdV_;
  double wJv_ = 0.0, Jtwv_ = 0.0;
  CheckValue jacobianError_, productError_, transposeError_;
  CheckValue jacobianResidualError_, productResidualError_, transposeResidualError_;
};

}  // namespace

void checkJacobian(TrovikOptimizationTask& task, const Vec& x, const Vec& r, const Matrix& J) {
  JacobianChecks checks(task, x, r, J);
  checks.run();
  checks.reportFailures();
}
