// The components the drivers call run with floating-point traps on
// (invalid, division by zero, overflow). Each is fed the three inputs that
// used to trap: a zero right-hand side (or start), a zero operator and an
// operator whose product is NaN. A trap would end the test program; beyond
// that, the outcome must be flagged whenever no answer exists.

#include <cmath>
#include <limits>
#include <string>
#include <valarray>

#include <gtest/gtest.h>

#include "dense/matrix.h"
#include "eigen/find_min_max_eig_value.h"
#include "eigen/power_iteration.h"
#include "linear/algo_status.h"
#include "linear/cg_pre_solver.h"
#include "linear/history_checker.h"
#include "linear/iteration_control.h"
#include "linear/lifted_cg_solver.h"
#include "linear/linsolve_matfree.h"
#include "linear/power_steps.h"
#include "options/opts.h"
#include "support/fp_traps.h"

namespace {

using Vec = std::valarray<double>;
constexpr long kN = 4;

enum class Input { ZeroRhs, ZeroOperator, NaNProduct };
const Input kInputs[] = {Input::ZeroRhs, Input::ZeroOperator, Input::NaNProduct};
const char* name(Input in) {
  const char* const names[] = {"zero rhs", "zero operator", "NaN product"};
  return names[static_cast<int>(in)];
}

// diag(1, 2, 3, 4), the zero matrix, or a product of NaNs, on vectors and
// on the columns of a block.
struct Operator {
  Input in;
  double entry(std::size_t i, double v) const {
    if (in == Input::ZeroOperator) return 0.0;
    if (in == Input::NaNProduct) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(i + 1) * v;
  }
  Vec operator()(const Vec& x) const {
    Vec y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = entry(i, x[i]);
    return y;
  }
  MatrixTemplate<double> operator()(const MatrixTemplate<double>& V) const {
    MatrixTemplate<double> R(V.rows, V.cols);
    for (std::size_t i = 0; i < V.rows; ++i)
      for (std::size_t j = 0; j < V.cols; ++j) R(i, j) = entry(i, V(i, j));
    return R;
  }
};

Vec rhs(Input in) { return Vec(in == Input::ZeroRhs ? 0.0 : 1.0, kN); }

class UnderTraps : public testing::Test {
 protected:
  void TearDown() override {
    opts.cgprecond = cgprecond_;
    opts.fullMinEV = fullMinEV_;
    opts.fullMaxEV = fullMaxEV_;
  }
  const double cgprecond_ = opts.cgprecond;
  const decltype(opts.fullMinEV) fullMinEV_ = opts.fullMinEV;
  const decltype(opts.fullMaxEV) fullMaxEV_ = opts.fullMaxEV;
};

TEST_F(UnderTraps, MatrixFreeMethodsFlagWhatTheyCannotSolve) {
  for (const std::string method : {"cg", "cgnormal", "cghc", "minres"}) {
    for (Input in : kInputs) {
      const Operator op{in};
      IterationControl control{};
      OptionMap options{{"dim_m", kN},     {"dim_n", kN},    {"tol", 1e-12},  {"maxit", 100L},
                        {"cgmode", 4L},    {"cgreset", 0L},  {"cgrec", 0L},   {"dim_k", 2L},
                        {"control", static_cast<void*>(&control)},
                        // cgnormal's shift from an estimate of the largest
                        // eigenvalue, the largest entry of A^T A 1
                        {"relshift", 1e-9}};
      SolverHistoryChecker checker{SizedOperator(options)};
      options["histcheck"] = static_cast<void*>(&checker);
      const SizedVectorFunction<Operator> A(options, op);
      Vec y;
      const FpTrapGuard traps;
      testing::internal::CaptureStderr();
      const AlgoStatus result = Zelk::linsolve_matfree(method, A, A, A, rhs(in), Vec(0.5, kN), y);
      testing::internal::GetCapturedStderr();
      const std::string what = method + ", " + name(in);
      // x = 0 solves b = 0, and it is a least-squares solution of the zero
      // operator; MINRES, as designed, divides by ||b|| = 0 and says so.
      if ((in == Input::ZeroRhs && method != "minres") ||
          (in == Input::ZeroOperator && method == "cgnormal")) {
        EXPECT_EQ(result.code(), 0) << what;
        EXPECT_EQ(std::abs(result.x).max(), 0.0) << what;
      } else {
        EXPECT_NE(result.code(), 0) << what;
      }
    }
  }
}

TEST_F(UnderTraps, PreconditionedAndLiftedCG) {
  for (Input in : kInputs) {
    const Operator op{in};
    const auto copy = [](const Vec& r) { return r; };
    const Vec b = rhs(in);
    const FpTrapGuard traps;
    CGPreSolver<Operator, decltype(copy)> pre(op, copy, kN, 1e-12, 1e-120, 1e14, 50, 4, 0, 0);
    const Vec x = pre.solve(b, Vec(0.5, kN), nullptr);
    opts.cgprecond = 1.0;
    LiftedCGSolver<Operator> lifted(op, kN, 1e-3, 1e-12, 27, 50, 1.0);
    Vec d;
    const int status = lifted.do_solve(b, 0.0, d);
    if (in == Input::ZeroRhs) {
      EXPECT_EQ(pre.status, 0);
      EXPECT_EQ(std::abs(x).max(), 0.0);
      EXPECT_EQ(status, 0);
    } else {
      EXPECT_TRUE(pre.status != 0 || !std::isfinite(pre.residual)) << name(in);
      EXPECT_NE(status, 0) << name(in);
    }
  }
}

TEST_F(UnderTraps, EigenIterationsAndEstimates) {
  for (Input in : kInputs) {
    const Operator op{in};
    IterationControl control{};
    const SizedVectorFunction<Operator> A(
        {{"dim_m", kN}, {"dim_n", kN}, {"tol", 1e-10}, {"maxit", 200L}, {"maxe", 4.0},
         {"control", static_cast<void*>(&control)}},
        op);
    // The zero case starts the iterations from the zero vector.
    const Vec start(in == Input::ZeroRhs ? 0.0 : 1.0, kN);
    const FpTrapGuard traps;
    testing::internal::CaptureStderr();
    for (auto iteration : {Zelk::maxeigen, Zelk::mineigen}) {
      Vec x = start;
      double lambda = 1.0;
      const AlgoStatus status(iteration(A, x, &lambda), {});
      // Inverse iteration finds the zero operator's eigenvalue 0 in one
      // step; the power iteration has nothing to normalise.
      if (iteration == Zelk::mineigen && in == Input::ZeroOperator)
        EXPECT_EQ(lambda, 0.0);
      else
        EXPECT_NE(status.code(), 0) << name(in);
    }
    testing::internal::GetCapturedStderr();
    const SizedVectorOperator& plain = A;
    const EigenPair pair = maxEigenPair(plain, kN, start, 1e-10, 200);
    EXPECT_FALSE(std::isfinite(pair.eigenvalue)) << name(in);

    opts.fullMinEV = 1;
    opts.fullMaxEV = 1;
    FindMinMaxEigValueLopcg<Operator> finder(op, kN, 1e-6, 50);
    testing::internal::CaptureStderr();
    finder.update();
    testing::internal::GetCapturedStderr();
  }
}

}  // namespace
