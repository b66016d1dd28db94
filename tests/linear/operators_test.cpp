#include <cmath>
#include <limits>
#include <stdexcept>
#include <valarray>
#include <variant>

#include <gtest/gtest.h>

#include "linear/iteration_control.h"
#include "linear/operator_adaptors.h"
#include "linear/projection_filters.h"
#include "linear/shifted_matrix_normal_equations.h"
#include "linear/sized_mmp_function.h"
#include "linear/sized_operator.h"
#include "support/fp_traps.h"

namespace {

using Vec = std::valarray<double>;

void expectVec(const Vec& got, const Vec& want, double tol = 0.0) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "entry " << i;
}

// y = M x for a small dense row-major matrix, counting its calls.
struct DenseOp : VectorOperator {
  MatrixTemplate<double> M;
  mutable int calls = 0;
  explicit DenseOp(MatrixTemplate<double> m) : M(std::move(m)) {}
  Vec operator()(const Vec& x) const override {
    ++calls;
    return matrixVectorProduct(M, x);
  }
};

// The 3 x 2 matrix [[1, -2], [0, 5], [4, -1]] and its transpose.
MatrixTemplate<double> A32() { return MatrixTemplate<double>(3, 2, Vec{1, -2, 0, 5, 4, -1}); }

TEST(SizedOperator, ReadersTakeOnlyTheirKind) {
  SizedOperator op(OptionMap{{"maxit", 10L}, {"tol", 1e-6}, {"three", 3.0}, {"one", 1L},
                             {"dim_m", 5L}, {"dim_n", 3L}, {"name", std::string("x")}});
  EXPECT_EQ(op.geti("maxit", 0), 10);
  EXPECT_EQ(op.geti("missing", 42), 42);
  EXPECT_THROW(op.geti("three", 0), std::bad_variant_access);
  EXPECT_EQ(op.getf("tol", 0.0), 1e-6);
  EXPECT_EQ(op.getf("missing", 2.5), 2.5);
  // A long is never converted, even where it would make a valid tolerance.
  EXPECT_THROW(op.getf("one", 0.0), std::bad_variant_access);
  EXPECT_EQ(op.dim_m(), 5);
  EXPECT_EQ(op.dim_n(), 3);
  EXPECT_THROW(SizedOperator().dim_m(), std::out_of_range);
  EXPECT_THROW(SizedOperator(OptionMap{{"dim_n", 2.0}}).dim_n(), std::bad_variant_access);

  EXPECT_EQ(getf_required(op, "tol"), 1e-6);
  EXPECT_EQ(geti_required(op, "maxit"), 10);
  EXPECT_THROW(getf_required(op, "one"), std::bad_variant_access);
  EXPECT_THROW(geti_required(op, "three"), std::bad_variant_access);
  EXPECT_THROW(getf_required(op, "missing"), std::bad_variant_access);
  EXPECT_THROW(geti_required(op, "missing"), std::bad_variant_access);
}

TEST(VectorAdaptors, ComposeAsDocumented) {
  DenseOp a(A32());
  DenseOp at(do_transpose(A32()));
  const Vec x{1.0, 2.0};

  // A^T A = [[17, -6], [-6, 30]].
  NormalEquations<DenseOp, DenseOp> normal(a, at);
  expectVec(normal(x), Vec{5.0, 54.0});

  auto twice = [](const Vec& v) { return Vec(2.0 * v); };
  Shifted<decltype(twice)> unshifted(twice, 0.0), shifted(twice, 2.0),
      nanShift(twice, std::numeric_limits<double>::quiet_NaN());
  expectVec(unshifted(x), Vec{2.0, 4.0});
  expectVec(shifted(x), Vec{4.0, 8.0});
  Vec n = nanShift(x);
  EXPECT_TRUE(std::isnan(n[0]) && std::isnan(n[1]));

  // The shift term needs a square operator.
  Shifted<DenseOp> rectangular(a, 1.0);
  EXPECT_THROW(rectangular(x), std::invalid_argument);

  // The filter runs first: a filter that zeroes its input leaves Op(0).
  auto zero = [](const Vec& v) { return Vec(0.0, v.size()); };
  auto plusOne = [](const Vec& v) { return Vec(v + 1.0); };
  Chained<decltype(zero), decltype(plusOne)> chained(zero, plusOne);
  expectVec(chained(x), Vec{1.0, 1.0});

  SizedVectorFunction<decltype(twice)> sized(OptionMap{{"dim_m", 2L}, {"dim_n", 2L}}, twice);
  expectVec(sized(x), Vec{2.0, 4.0});
  EXPECT_EQ(sized.dim_m(), 2);
}

TEST(ProjectionFilters, RemoveWeightedComponents) {
  const Vec x{3.0, 4.0, 5.0};
  MatrixTemplate<double> empty(3, 0);
  Vec noWeights;
  expectVec(FilterBase(empty, noWeights).filter(x), x);

  // Orthonormal e0, e1 with weights 1 and 0.5: x - (3, 2, 0).
  MatrixTemplate<double> V(3, 2, Vec{1, 0, 0, 1, 0, 0});
  Vec w{1.0, 0.5};
  FilterBase f(V, w);
  expectVec(f.filter(x), Vec{0.0, 2.0, 5.0});
  expectVec(f(x), Vec{0.0, 2.0, 5.0});
  Vec shortW{1.0};
  EXPECT_THROW(FilterBase(V, shortW).filter(x), std::invalid_argument);
  EXPECT_THROW(f.filter(Vec{1.0, 2.0}), std::invalid_argument);

  // Two equal unit vectors remove the component twice: x - 2 (v.x) v.
  const double s = 1.0 / std::sqrt(2.0);
  const Vec basis[2] = {Vec{s, s, 0.0}, Vec{s, s, 0.0}};
  Vec c{1.0, 1.0};
  expectVec(FilterBase2(basis, 2, c)(x), Vec{-4.0, -3.0, 5.0}, 1e-14);
  expectVec(FilterBase2(nullptr, 0, c)(x), x);
  EXPECT_THROW(FilterBase2(nullptr, 1, c), std::invalid_argument);
  EXPECT_THROW(FilterBase2(basis, -1, c), std::invalid_argument);
  Vec oneWeight{1.0};
  EXPECT_THROW(FilterBase2(basis, 2, oneWeight)(x), std::invalid_argument);

  // Inside a solve under traps the filter meets whatever the products gave:
  // inf - inf and inf * 0 come out NaN instead of ending the process.
  const double inf = std::numeric_limits<double>::infinity();
  MatrixTemplate<double> e0(3, 1, Vec{1, 0, 0});
  Vec one{1.0};
  FpTrapGuard traps;
  EXPECT_TRUE(std::isnan(FilterBase(e0, one).filter(Vec{inf, 2.0, 3.0})[0]));
}

// A 5 x 3 block operator M with options; products column by column.
struct BlockOp : SizedMMPOperator {
  MatrixTemplate<double> M;
  BlockOp(MatrixTemplate<double> m, OptionMap o)
      : SizedMMPOperator(std::move(o)), M(std::move(m)) {}
  MatrixTemplate<double> matvecprod(const MatrixTemplate<double>& X) const override {
    MatrixTemplate<double> R;
    do_mult_blas(M, X, R, false);
    return R;
  }
  MatrixTemplate<double> matTvecprod(const MatrixTemplate<double>& Y) const override {
    return transposed(M) * Y;
  }
};

TEST(ShiftedMatrixNormalEquations, AugmentsWithShiftedIdentity) {
  MatrixTemplate<double> M(5, 3, Vec{1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1, 2, 0, -1});
  BlockOp plain(M, OptionMap{{"dim_m", 5L}, {"dim_n", 3L}, {"tol", 1e-3}});
  ShiftedMatrixNormalEquations aug(plain);
  EXPECT_EQ(aug.dim_m(), 8);
  EXPECT_EQ(aug.dim_n(), 3);
  EXPECT_EQ(aug.getf("tol", 0.0), 1e-3);
  EXPECT_EQ(aug.shift, 0.0);

  MatrixTemplate<double> X(3, 2, Vec{1, 2, 3, 4, 5, 6});
  MatrixTemplate<double> R = aug.matvecprod(X);
  ASSERT_EQ(R.rows, 8u);
  ASSERT_EQ(R.cols, 2u);
  expectVec(R.elements, Vec{1, 2, 3, 4, 5, 6, 9, 12, -3, -2, 0, 0, 0, 0, 0, 0});

  BlockOp withShift(M, OptionMap{{"dim_m", 5L}, {"dim_n", 3L}, {"shift", 0.5}});
  ShiftedMatrixNormalEquations sh(withShift);
  R = sh.matvecprod(X);
  expectVec(R.elements, Vec{1, 2, 3, 4, 5, 6, 9, 12, -3, -2, 0.5, 1, 1.5, 2, 2.5, 3});

  // [A; s I]^T [T; B] = A^T T + s B; applied to the product above it gives
  // the normal equations (A^T A + s^2 I) X.
  MatrixTemplate<double> N = sh.matTvecprod(R);
  MatrixTemplate<double> AtA = transposed(M) * M;
  MatrixTemplate<double> want;
  do_mult_blas(AtA, X, want, false);
  for (std::size_t i = 0; i < want.elements.size(); ++i)
    EXPECT_NEAR(N.elements[i], want.elements[i] + 0.25 * X.elements[i], 1e-12);

  BlockOp wrongKind(M, OptionMap{{"dim_m", 5L}, {"dim_n", 3L}, {"shift", 1L}});
  EXPECT_THROW(ShiftedMatrixNormalEquations{wrongKind}, std::bad_variant_access);
  EXPECT_THROW(sh.matvecprod(MatrixTemplate<double>(2, 2)), std::invalid_argument);
  EXPECT_THROW(sh.matTvecprod(MatrixTemplate<double>(5, 2)), std::invalid_argument);
}

// Counts its calls and asks the control record to stop on call `stopAt`.
struct StoppingOp : VectorOperator {
  MatrixTemplate<double> M;
  IterationControl* control;
  int stopAt;
  mutable int calls = 0;
  StoppingOp(MatrixTemplate<double> m, IterationControl* c, int s)
      : M(std::move(m)), control(c), stopAt(s) {}
  Vec operator()(const Vec& x) const override {
    if (++calls == stopAt && control) control->state = 2;
    return matrixVectorProduct(M, x);
  }
};

TEST(SizedMMPFunction, ColumnByColumnProductsHonourStops) {
  IterationControl control;
  StoppingOp a(A32(), &control, 3), at(do_transpose(A32()), &control, 0);
  SizedMMPFunction block(OptionMap{{"dim_m", 3L}, {"dim_n", 2L}}, ColumnProduct{a, 3, &control},
                         ColumnProduct{at, 2, &control});
  EXPECT_EQ(block.dim_m(), 3);

  // One column: the plain matrix-vector product.
  MatrixTemplate<double> x(2, 1, Vec{1, 1});
  MatrixTemplate<double> y = block.matvecprod(x);
  ASSERT_EQ(y.rows, 3u);
  expectVec(y.elements, Vec{-1, 5, 3});

  // The request comes during column 1 (call 3): that column is written, the
  // last stays zero.
  MatrixTemplate<double> X(2, 3, Vec{1, 0, 1, 0, 1, 1});
  y = block.matvecprod(X);
  expectVec(y.elements, Vec{1, -2, 0, 0, 5, 0, 4, -1, 0});
  EXPECT_EQ(a.calls, 3);

  // Already stopped: all zeros, no call.
  MatrixTemplate<double> Yt =
      block.matTvecprod(MatrixTemplate<double>(3, 2, Vec{1, 1, 1, 1, 1, 1}));
  ASSERT_EQ(Yt.rows, 2u);
  expectVec(Yt.elements, Vec{0, 0, 0, 0});
  EXPECT_EQ(at.calls, 0);

  // No columns: the right number of rows, no call.
  control.state = 0;
  y = block.matvecprod(MatrixTemplate<double>(2, 0));
  EXPECT_EQ(y.rows, 3u);
  EXPECT_EQ(y.cols, 0u);
  EXPECT_EQ(a.calls, 3);

  // Without a control record the product never stops.
  StoppingOp unstopped(A32(), nullptr, 1);
  SizedMMPFunction noControl(OptionMap{}, ColumnProduct{unstopped, 3, nullptr},
                             ColumnProduct{unstopped, 3, nullptr});
  y = noControl.matvecprod(X);
  expectVec(y.elements, Vec{1, -2, -1, 0, 5, 5, 4, -1, 3});

  // An operator returning too few values is refused, not read past.
  SizedMMPFunction tooShort(OptionMap{}, ColumnProduct{unstopped, 4, nullptr},
                            ColumnProduct{unstopped, 4, nullptr});
  EXPECT_THROW(tooShort.matvecprod(X), std::length_error);
}

}  // namespace
