#include <limits>
#include <sstream>
#include <variant>

#include <gtest/gtest.h>

#include "linear/algo_status.h"
#include "linear/solver_base.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

AlgoStatus status(OptionMap extra) {
  return AlgoStatus(map_union(OptionMap{{"tol", 1e-6}, {"maxit", 100L}}, extra), {});
}

TEST(AlgoStatus, CodeFoldsTheMapIntoBits) {
  EXPECT_EQ(status({{"residual", 1e-7}, {"it", 5L}}).code(), 0);
  // A residual equal to tol has not passed it; nor has a NaN.
  EXPECT_EQ(status({{"residual", 1e-6}}).code(), 1);
  EXPECT_EQ(status({{"residual", kNaN}}).code(), 1 | 16);
  EXPECT_EQ(status({{"relerr", kNaN}}).code(), 16);
  EXPECT_EQ(status({{"relerr", -kInf}}).code(), 32);
  EXPECT_EQ(status({{"residual", kInf}}).code(), 1 | 32);
  EXPECT_EQ(status({{"it", 100L}}).code(), 4);
  // Without "maxt" a finite time never counts; with it, reaching it does.
  EXPECT_EQ(status({{"wtime", 1e300}}).code(), 0);
  EXPECT_EQ(status({{"wtime", 2.0}, {"maxt", 2.0}}).code(), 8);
  EXPECT_EQ(status({{"wtime", kNaN}}).code(), 8);
  // Solver bits pass through; relerr is never compared with tol.
  EXPECT_EQ(status({{"status", 256L}, {"relerr", 5.0}}).code(), 256);
  EXPECT_EQ(status({{"status", 0x22L}, {"it", 200L}, {"residual", 0.5}}).code(), 0x22 | 4 | 1);

  EXPECT_THROW(AlgoStatus(OptionMap{{"maxit", 1L}}, {}).code(), std::bad_variant_access);
  EXPECT_THROW(AlgoStatus(OptionMap{{"tol", 1e-6}}, {}).code(), std::bad_variant_access);
  EXPECT_THROW(status({{"it", 3.0}}).code(), std::bad_variant_access);
  EXPECT_THROW(status({{"residual", 0L}}).residual(), std::bad_variant_access);
}

TEST(AlgoStatus, ResultFillsTheHostRecord) {
  const IterativeResult r = status({{"status", 0x10L}, {"wtime", 0.25}, {"residual", 1e-3},
                                    {"relerr", 2e-3}, {"it", 7L}, {"calls", 15L}})
                                .result();
  EXPECT_EQ(r.status, 0x10 | 1);
  EXPECT_EQ(r.wtime, 0.25);
  EXPECT_EQ(r.residual, 1e-3);
  EXPECT_EQ(r.relerr, 2e-3);
  EXPECT_EQ(r.it, 7);
  EXPECT_EQ(r.calls, 15);
  EXPECT_EQ(r.reserved, 0);

  const IterativeResult empty = status({}).result();
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.wtime, 0.0);
  EXPECT_EQ(empty.calls, 0);
  EXPECT_EQ(empty.it, 0);
  EXPECT_THROW(status({{"calls", 1.0}}).result(), std::bad_variant_access);
}

TEST(AlgoStatus, MoveAssignmentEmptiesTheSource) {
  AlgoStatus a = status({{"it", 3L}});
  a.x = {1.0, 2.0, 3.0};
  AlgoStatus b = status({{"status", 4L}});
  b.x = {9.0};
  b = std::move(a);
  EXPECT_TRUE(a.options.empty());
  EXPECT_EQ(a.x.size(), 0u);
  EXPECT_EQ(b.geti("it", 0), 3);
  EXPECT_EQ(b.geti("status", 0), 0);
  ASSERT_EQ(b.x.size(), 3u);
  EXPECT_EQ(b.x[2], 3.0);
  AlgoStatus& same = b;
  b = std::move(same);
  EXPECT_EQ(b.x.size(), 3u);
}

TEST(SolverBase, PrintShowsItsOwnStatusLayout) {
  SolverBase s("LiftedCGSolver2", 10, 1e-6, 1e-120, 1e14, 100);
  EXPECT_GT(s.started, 0.0);
  EXPECT_EQ(s.residual, 0.0);
  EXPECT_EQ(s.flags, 0);
  s.residual = 1e-7;
  s.relerr = 0.5;
  s.it = 100;
  s.flags = 0x20;
  std::ostringstream os;
  s.print(os) << "|";
  EXPECT_EQ(os.str(),
            "CGSolver(n=10, tol=1e-06, maxit=100), status: IterativeResult(status=38, it=100, "
            "residual=1e-07, relerr=0.5)|");

  s.residual = kNaN;
  s.relerr = 0.0;
  s.it = 3;
  s.flags = 0;
  os.str("");
  s.print(os);
  EXPECT_EQ(os.str(),
            "CGSolver(n=10, tol=1e-06, maxit=100), status: IterativeResult(status=9, it=3, "
            "residual=nan, relerr=0)");
}

}  // namespace
