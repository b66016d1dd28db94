// The pieces the linear-solve front ends are built from: the operator
// printer, the dense product callables, the CG settings and the method table.

#include <sstream>
#include <string>
#include <valarray>
#include <variant>

#include <gtest/gtest.h>

#include "linear/cg_settings.h"
#include "linear/dense_operators.h"
#include "linear/linsolve_matfree.h"
#include "linear/linsolve_method.h"
#include "linear/operator_format.h"

namespace {

using Vec = std::valarray<double>;

TEST(LinsolveParts, OperatorPrinterShowsEachKind) {
  int target = 0;
  const OptionMap options{{"dim_m", 3L},
                          {"tol", 1e-15},
                          {"oversample", 2.0},
                          {"ratio", 0.123456789},
                          {"name", std::string("lsrn")},
                          {"control", static_cast<void*>(&target)}};
  std::ostringstream os;
  os << ShowOperator(options);
  EXPECT_EQ(os.str(),
            "Operator({{\"control\", }, {\"dim_m\", 3}, {\"name\", lsrn}, "
            "{\"oversample\", 2}, {\"ratio\", 0.123457}, {\"tol\", 1e-15}})");

  // Doubles follow the stream's precision, with %g rules.
  std::ostringstream p3;
  p3.precision(3);
  p3 << ShowOperator(OptionMap{{"ratio", 0.123456789}, {"big", 12345.0}});
  EXPECT_EQ(p3.str(), "Operator({{\"big\", 1.23e+04}, {\"ratio\", 0.123}})");

  std::ostringstream empty;
  empty << ShowOperator(OptionMap{});
  EXPECT_EQ(empty.str(), "Operator({})");
}

TEST(LinsolveParts, DenseProductsOfTheDensePath) {
  // 2 x 3
  const MatrixTemplate<double> A(2, 3, Vec{1.0, 2.0, 3.0, -1.0, 0.5, 4.0});
  const Vec ax = DenseProduct{A}(Vec{1.0, 1.0, 2.0});
  ASSERT_EQ(ax.size(), 2u);
  EXPECT_EQ(ax[0], 9.0);
  EXPECT_EQ(ax[1], 7.5);
  const Vec aty = DenseTransposedProduct{A}(Vec{1.0, 2.0});
  ASSERT_EQ(aty.size(), 3u);
  EXPECT_EQ(aty[0], -1.0);
  EXPECT_EQ(aty[1], 3.0);
  EXPECT_EQ(aty[2], 11.0);
  const Vec id = IdentityProduct{}(Vec{4.0, -2.0});
  ASSERT_EQ(id.size(), 2u);
  EXPECT_EQ(id[0], 4.0);
  EXPECT_EQ(id[1], -2.0);
  // Too short an input is refused rather than read past its end.
  EXPECT_THROW(DenseProduct{A}(Vec{1.0}), std::invalid_argument);
  EXPECT_THROW(DenseTransposedProduct{A}(Vec{1.0}), std::invalid_argument);
}

TEST(LinsolveParts, CGSettingsAreRequiredInTheirKind) {
  const SizedOperator good(OptionMap{
      {"tol", 1e-9}, {"cgreset", 5L}, {"cgrec", 3L}, {"cgmode", 2L}, {"maxit", 40L}});
  const CGSettings s = readCGSettings(good);
  EXPECT_EQ(s.tol, 1e-9);
  EXPECT_EQ(s.cgreset, 5);
  EXPECT_EQ(s.cgrec, 3);
  EXPECT_EQ(s.cgmode, 2);
  EXPECT_EQ(s.maxit, 40);

  const auto identity = [](const Vec& x) { return x; };
  const auto solver = makeCGSolver(s, 7, identity);
  EXPECT_STREQ(solver.name, "CGSolver");
  EXPECT_EQ(solver.n, 7);
  EXPECT_EQ(solver.abstol, 1e-120);
  EXPECT_EQ(solver.divtol, 1e14);
  EXPECT_EQ(solver.maxit, 40);
  EXPECT_EQ(solver.cgmode, 2);
  EXPECT_EQ(solver.cgrec, 3);
  EXPECT_EQ(solver.cgreset, 5);

  for (const char* key : {"tol", "cgreset", "cgrec", "cgmode", "maxit"}) {
    SizedOperator missing = good;
    missing.options.erase(key);
    EXPECT_THROW(readCGSettings(missing), std::bad_variant_access) << key;
  }
  SizedOperator integralTol = good;
  integralTol.options["tol"] = 1L;
  EXPECT_THROW(readCGSettings(integralTol), std::bad_variant_access);
}

TEST(LinsolveParts, MethodTableKnowsTheCallbacksEachMethodCalls) {
  EXPECT_EQ(Zelk::linsolveCallbacksNeeded("cg"), unsigned{Zelk::NeedsA});
  EXPECT_EQ(Zelk::linsolveCallbacksNeeded("cglifted"), unsigned{Zelk::NeedsA});
  EXPECT_EQ(Zelk::linsolveCallbacksNeeded("cgnormal"), Zelk::NeedsA | Zelk::NeedsAT);
  EXPECT_EQ(Zelk::linsolveCallbacksNeeded("matrixvectorsolve"), unsigned{Zelk::NeedsNone});
  EXPECT_EQ(Zelk::linsolveCallbacksNeeded("no such method"), unsigned{Zelk::NeedsNone});
  EXPECT_EQ(Zelk::findLinsolveMethod("no such method"), nullptr);
  EXPECT_EQ(Zelk::findLinsolveMethod("matrixvectorsolve"), nullptr);

  // A later registration under a taken name keeps the first handler.
  const Zelk::LinsolveMethod* cg = Zelk::findLinsolveMethod("cg");
  ASSERT_NE(cg, nullptr);
  const Zelk::LinsolveHandler original = cg->handler;
  Zelk::registerLinsolveMethod({"cg"}, {nullptr, Zelk::NeedsP});
  EXPECT_EQ(Zelk::findLinsolveMethod("cg")->handler, original);
  EXPECT_EQ(Zelk::findLinsolveMethod("cg")->callbacks, unsigned{Zelk::NeedsA});
}

}  // namespace
