// trovik end to end on problems with known answers: every dense direction
// kind and their mix, SD2 (4), SD3 (8), SD4 (16) and all three (28); the
// two product callbacks alone against the same runs with a Jacobian, with
// SD2, SD3, SD4, SD6 (64) and matrix-free SD5 (32, against the dense SD4);
// and the trust-region direction SD6 on its own cases and with the README's
// recipe on the classic collection; fits whose residual does not vanish,
// converged at the rounding; and the README's fit under the options the
// README names.

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "leastsq/trovik_fixture.h"
#include "support/generated_fits.h"
#include "support/readme_text.h"

namespace {

using namespace trovik_host;

class TrovikKinds : public TrovikFixture, public ::testing::WithParamInterface<double> {
 protected:
  Outcome solveWith(Host& h, Options options, Callbacks given = Callbacks::Jacobian,
                    double kind = 0) {
    options.insert(options.begin(), {{"sdirs", kind != 0 ? kind : GetParam()}, {"maxit", 200}});
    return solve(h, options, given);
  }
};
using TrovikKnownAnswersThreaded = TrovikKinds;
using TrovikMatrixFreeThreaded = TrovikKinds;

std::string kindName(const testing::TestParamInfo<double>& info) {
  return "sdirs" + std::to_string(static_cast<int>(info.param));
}

TEST_P(TrovikKnownAnswersThreaded, Minima) {
  // Powell's J is singular at its root; the linear problem's answer is
  // LAPACK's least-squares solution.
  for (const Problem& p : {linearProblem(), rosenbrock(), powellSingular(), bard()}) {
    Host h(p);
    EXPECT_LT(miss(p, solveWith(h, {}).x), p.tolerance) << p.name;
  }
}

// Freudenstein and Roth's valley x2 = -0.8968 has a singular Jacobian. The
// truncated SVD (SD4, also in the mix) drops the singular direction and
// reaches the local minimum or the root; the Gauss-Newton directions (SD2,
// and SD3 with its shift of 1e-9 s_0) point along the valley there, where
// the objective only grows, and stall in it, away from any stationary
// point: they must still lower the objective and end as a failure.
TEST_P(TrovikKnownAnswersThreaded, FreudensteinRoth) {
  Host h(freudensteinRoth());
  const Outcome out = solveWith(h, {});
  const double ss = sumOfSquares(out.r);
  if (GetParam() == 4 || GetParam() == 8) {
    EXPECT_LT(ss, 0.2 * sumOfSquares(residualsAt(h.problem, h.problem.start)));
    EXPECT_NEAR(out.x[1], -0.8968, 1e-4);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(h.records.back().at("exit"), "stalled before a stationary point");
  } else {
    const bool root = std::fabs(out.x[0] - 5.0) < 1e-6 && std::fabs(out.x[1] - 4.0) < 1e-6;
    EXPECT_TRUE(root || std::fabs(ss - 48.9842) < 1e-4) << out.x[0] << " " << out.x[1];
  }
}

TEST_P(TrovikKnownAnswersThreaded, EdgeProblems) {
  {  // more variables than residuals (SD2 gives no direction then)
    Host h(nonlinear("wide", 2, {0.5, 0.5, 0.5}, {}, 0, 0, [](const auto* x, auto* r) {
      r[0] = x[0] + x[1] - 1.0;
      r[1] = x[1] * x[2] - 2.0;
    }));
    const Outcome out = solveWith(h, {});
    EXPECT_LE(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)));
  }
  {  // a NaN tolerance never holds
    Host h(rosenbrock());
    EXPECT_NEAR(solveWith(h, {{"tolGradAbs", std::nan("")}}).x[0], 1.0, 1e-7);
  }
  // A residual that ignores x3, a zero Jacobian column: SD3's shift keeps
  // the step finite.
  if (GetParam() != 8) return;
  Host h(nonlinear("ignored", 3, {2.0, 2.0, 7.0}, {}, 0, 0, [](const auto* x, auto* r) {
    r[0] = x[0] - 1.0;
    r[1] = x[1] * x[1] - 4.0 * x[0];
    r[2] = x[0] + x[1] - 3.0;
  }));
  const Outcome out = solveWith(h, {});
  EXPECT_NEAR(out.x[0], 1.0, 1e-7);
  EXPECT_NEAR(out.x[1], 2.0, 1e-7);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikKnownAnswersThreaded, ::testing::Values(4, 8, 16, 28),
                         kindName);

// The matrix-free runs stop once an iteration gains less than 1e-13 of the
// objective. SD5 exists only on the products: it must reach the answers of
// the dense truncated SVD (SD4); on Powell's singular root its random
// starts make it take from 40 to some 550 iterations.
TEST_P(TrovikMatrixFreeThreaded, ProductsAloneReachTheDenseAnswers) {
  const bool sd5 = GetParam() == 32;
  const Options options{{"tolEnhRel", 1e-13}, {"maxit", sd5 ? 1000.0 : 200.0}};
  for (const Problem& p : {linearProblemOf(5), rosenbrock(), powellSingular(), bard()}) {
    Host dense(p), free(p);
    const Outcome withJ = solveWith(dense, options, Callbacks::Jacobian, sd5 ? 16 : 0);
    const Outcome without = solveWith(free, options, Callbacks::Products);
    for (std::size_t j = 0; j < p.n; ++j)
      EXPECT_NEAR(without.x[j], withJ.x[j], 1e-6) << p.name << " " << j;
    const Record counters = withKey(free, "cJv").at(0);
    EXPECT_EQ(counters.at("cJ"), "0") << p.name;
    EXPECT_GT(std::stol(counters.at("cJv")), 0) << p.name;
    EXPECT_TRUE(p.name != "linear" || miss(p, withJ.x) < p.tolerance);
  }
}

TEST_P(TrovikMatrixFreeThreaded, DegenerateProblems) {
  // Started at the root, with J and without: nothing to do, and nothing
  // divides by ||r|| = 0.
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    Host h(zeroResidualAtStart());
    const Outcome out = solveWith(h, {}, given);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.x, h.problem.start);
  }
  // Residuals that do not depend on x, J = 0: no kind finds a direction,
  // and none traps.
  Host h(nonlinear("J = 0", 3, {0.5, -1.0}, {}, 0, 0,
                   [](const auto*, auto* r) { r[0] = r[1] = r[2] = 1.0; }));
  EXPECT_EQ(solveWith(h, {{"maxit", 2}}, Callbacks::Products).x, h.problem.start);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TrovikMatrixFreeThreaded, ::testing::Values(4, 8, 16, 32, 64),
                         kindName);

using TrovikTrustRegionThreaded = TrovikFixture;

// The README's recipe for an expensive residual ("sdirs" 64, "alpha" 1,
// "tolEnhRel" 1e-12) on the classic collection from its standard starts.
// The first trust-region steps are as long as the small first radius lets
// them be and lower f by less than 1e-12 of it: a step whose length the
// radius set says nothing about convergence. No run returns 0 at or near
// where it started: one that returns 0 has at least halved the sum of
// squares (every least value of the collection is far below its start's).
TEST_F(TrovikTrustRegionThreaded, TheReadmeRecipeNeverEndsAtTheStart) {
  residual_problems::forEachProblem([&]<class P>() {
    Host h(collected<P>({}, 0.0, 0.0));
    const Outcome out =
        solve(h, {{"sdirs", 64}, {"alpha", 1}, {"tolEnhRel", 1e-12}, {"maxit", 2000}});
    if (out.status != 0) return;
    EXPECT_LT(sumOfSquares(out.r), 0.5 * sumOfSquares(residualsAt(h.problem, h.problem.start)))
        << P::name;
  });
}

// "tolEnhRel" ends a run at an iteration that lowered f by little. From
// these standard starts the default line search crawls along curved
// valleys, lowering f by less than 1e-12 of it far from any minimum, while
// the Gauss-Newton model promises far more: such a step says nothing about
// convergence, so a 0 comes only at the least sum of squares. On the
// products alone the model along the step's direction tells the same.
TEST_F(TrovikTrustRegionThreaded, ACrawlingSearchIsNoConvergence) {
  const auto endsAtTheMinimumOrFails = [&]<class P>(double least) {
    for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
      Host h(collected<P>({}, 0.0, 0.0));
      const Outcome out = solve(h, {{"tolEnhRel", 1e-12}, {"maxit", 2000}}, given);
      if (out.status == 0) {
        EXPECT_LT(sumOfSquares(out.r), least + 1e-6 * (1.0 + least))
            << P::name << (given == Callbacks::Products ? ", products" : "");
      }
    }
  };
  endsAtTheMinimumOrFails.operator()<residual_problems::FreudensteinRoth>(48.98425367924);
  endsAtTheMinimumOrFails.operator()<residual_problems::Beale>(0.0);
  endsAtTheMinimumOrFails.operator()<residual_problems::JennrichSampson>(124.3621823556);
  endsAtTheMinimumOrFails.operator()<residual_problems::Chebyquad<8>>(3.516873725677e-3);
}

// The README's fit beside a residual of constant value C: the constant
// part of f puts the whole fit within some 4.5e5 of f's rounding units at
// C = 1e5 and 45 at 1e7, and the trust region's first steps, as short as
// its first radius, change f by less than a unit. The residuals still show
// the fit, from every start, at 0 as well: no run returns 0 where it
// started, and one that returns 0 has lowered the fit's own sum of squares
// (its steps took a fair share of what the model promised, and f changed
// by less than "tolEnhRel" of it). A Jacobian of 1e200 at the first call
// only is no stationary point either.
TEST_F(TrovikTrustRegionThreaded, ALargeConstantPartOfFHidesNoStationaryStart) {
  const Options options[] = {{{"sdirs", 64}, {"alpha", 1}, {"tolEnhRel", 1e-12}},
                             {{"sdirs", 64}, {"tolEnhRel", 1e-12}},
                             {{"tolEnhRel", 1e-12}}};
  const Values starts[] = {{0.0, 0.0}, {1e-3, 1e-3}, {1.0, 1.0}, {10.0, 3.0}};
  const auto fitPart = [](Values r) { return sumOfSquares(Values(r.begin(), r.end() - 1)); };
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products})
    for (const Options& o : options) {
      for (const double C : {1e3, 1e5, 1e7})
        for (const Values& start : starts) {
          SCOPED_TRACE(testing::Message() << "C = " << C << " from " << start[0] << ", row "
                                          << &o - options);
          Host h(readmeFitWithConstant(C));
          h.problem.start = start;
          const Outcome out = solve(h, o, given);
          if (out.status != 0) continue;
          EXPECT_NE(out.x, start);
          EXPECT_LT(fitPart(out.r), fitPart(residualsAt(h.problem, start)));
        }
      Host glitch(readmeFit());
      glitch.alterJacobian = [&glitch](double* J) {
        if (glitch.jacobianCalls == 1) std::fill(J, J + 20, 1e200);
      };
      glitch.alterJv = glitch.alterJtw = [&glitch](double* out) {
        if (glitch.productCalls == 1) out[0] = 1e200;
      };
      Options unchecked = o;
      unchecked.push_back({"checkgradient", -1});
      const Outcome out = solve(glitch, unchecked, given);
      EXPECT_TRUE(out.status != 0 || out.x != glitch.problem.start)
          << "glitch, row " << &o - options;
    }
}

TEST_F(TrovikTrustRegionThreaded, DenseLinearProblemAcceptsTheFirstTry) {
  Host h(linearProblemOf(5));
  solve(h, {{"sdirs", 64}, {"maxit", 0}, {"trace", 4}});
  // A linear model predicts the reduction exactly: rho = 1, Delta * 7.7.
  EXPECT_TRUE(said("Update Delta: rho = 1, D = 1e-07 is very good: 7.7e-07\n")) << err_;
  EXPECT_EQ(err_.find(" result: "), err_.rfind(" result: "));  // one try
  const Record it0 = withKey(h, "tj").at(0);
  EXPECT_DOUBLE_EQ(valueOf(it0, "D"), 7.7e-7);
  EXPECT_NEAR(valueOf(it0, "r"), 1.0, 1e-6);
  EXPECT_EQ(it0.at("o"), "5");
  EXPECT_EQ(it0.at("m"), "SD6");
  for (const char* key : {"lc", "p"}) EXPECT_TRUE(it0.count(key)) << key;
}

TEST_F(TrovikTrustRegionThreaded, DenseMeyerReachesItsMinimum) {
  Host h(meyer());
  EXPECT_NEAR(sumOfSquares(solve(h, {{"sdirs", 64}, {"maxit", 200}}).r), 87.9458, 1e-4);
}

TEST_F(TrovikTrustRegionThreaded, AwkwardProblemsGiveFiniteSteps) {
  // r = x with a Jacobian of the wrong sign: every model step raises ||r||.
  Problem worsening = linear("worsening", 2, 2, {1, 0, 0, 1}, {0, 0}, {1.0, -2.0});
  worsening.jacobian = [](const double*, double* J) {
    for (int i = 0; i < 4; ++i) J[i] = i % 3 == 0 ? -1.0 : 0.0;
  };
  // A's columns sum to 0 (centred data): the column sums give D = 0.
  const Problem centred = linear("centred", 3, 2, {1, 2, -1, 0, 0, -2}, {1.0, 0.5, -2.0}, {0, 0});
  for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products}) {
    SCOPED_TRACE(given == Callbacks::Jacobian ? "dense" : "matrix-free");
    {  // the zero direction and bit 0x400
      Host h(worsening);
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 2}, {"checkgradient", -1}}, given);
      EXPECT_EQ(out.x, h.problem.start);
      for (const Record& r : withKey(h, "tj")) EXPECT_EQ(std::stoi(r.at("st")) & 0x500, 0x500);
    }
    {  // D floored to 1; both columns counted zero ("cz", trace bit 2)
      Host h(centred);
      const Outcome out = solve(h, {{"sdirs", 64}, {"maxit", 30}, {"trace", 2}}, given);
      EXPECT_LT(sumOfSquares(out.r), sumOfSquares(residualsAt(h.problem, h.problem.start)));
      EXPECT_EQ(withKey(h, "tj").at(0).at("cz"), "2");
    }
    // SD1 gives nothing; the fallback reaches SD6 late, with D still unset.
    Host h(rosenbrock());
    const Outcome out = solve(h, {{"sdirs", 2}, {"enableFallback", 1}, {"maxit", 100}}, given);
    EXPECT_EQ(withKey(h, "tj").at(0).at("m"), "SD6");
    EXPECT_LT(miss(h.problem, out.x), 1e-6);
  }
}

// Fits whose residual does not vanish, where at the answer the rounding of
// the objective stops the line search, Gauss-Newton and Newton directions
// lying nearly at right angles to the gradient: converged, never stalled.
// With "tolEnhRel" 1e-12 the runs end there with status 0; with the
// defaults they go on to "maxit" (set low here).
using TrovikFitsThreaded = TrovikFixture;

TEST_F(TrovikFitsThreaded, RoundingAtTheAnswerIsConvergence) {
  Problem riseFromNear = exponentialRise();
  riseFromNear.start = {250.0, 5e-4};
  struct Case {
    const char* what;
    Problem problem;
    Options options;
    int status;
    const char* code;
  } const cases[] = {
      {"exponential rise", exponentialRise(), {{"tolEnhRel", 1e-12}}, 0, "24"},
      {"exponential rise from near", riseFromNear, {{"tolEnhRel", 1e-12}}, 0, "24"},
      {"exponential rise, defaults", exponentialRise(), {{"maxit", 60}}, 1, "12"},
      {"exponential rise from near, defaults", riseFromNear, {{"maxit", 60}}, 1, "12"},
      {"meyer", meyer(), {{"tolEnhRel", 1e-12}}, 0, "24"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h(c.problem);
    const Outcome out = solve(h, c.options);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(h.records.back().at("code"), c.code);
    if (c.problem.solution.empty()) {
      EXPECT_LT(miss(c.problem, out.x), c.problem.tolerance);
    } else {
      for (std::size_t j = 0; j < c.problem.n; ++j)  // 9 digits of each parameter
        EXPECT_NEAR(out.x[j], c.problem.solution[j], 1e-9 * std::fabs(c.problem.solution[j])) << j;
    }
  }
}

// Fits made up with certified answers (support/generated_fits.h): a large
// constant part, parameters of sizes 1e6 and 1e-3, two exponentials, a
// peak on a slope and a rational model, their data moved by noise of
// 1e-6 to 1e-14 of their size or printed to 11 digits. With J and with the
// products, under "tolEnhRel" and the README's recipe, each ends with 0
// where its objective can no longer tell it from the least-squares answer
// (within 100 times what the data's rounding lets the sum of squares
// show). The products' default directions crawl on the badly scaled
// model's valley and are left out there under "tolEnhRel" alone.
TEST_F(TrovikFitsThreaded, GeneratedFitsEndAtTheirCertifiedAnswers) {
  using namespace generated_fits;
  const Options tolerance = {{"tolEnhRel", 1e-12}, {"maxit", 500}};
  const Options recipe = {{"sdirs", 64}, {"alpha", 1}, {"tolEnhRel", 1e-12}, {"maxit", 2000}};
  const DataKind kinds[] = {{6, 0, 1}, {10, 0, 2}, {14, 0, 3}, {0, 11, 1}};
  for (const Model model : {Model::Offset, Model::BadlyScaled, Model::TwoExponentials,
                            Model::PeakOnSlope, Model::Rational})
    for (const DataKind& kind : kinds) {
      const Fit fit = makeFit(model, kind);
      for (const Callbacks given : {Callbacks::Jacobian, Callbacks::Products})
        for (const Options* options : {&tolerance, &recipe}) {
          if (model == Model::BadlyScaled && given == Callbacks::Products && options == &tolerance)
            continue;
          SCOPED_TRACE(testing::Message()
                       << fit.name() << (given == Callbacks::Products ? ", products" : "")
                       << (options == &recipe ? ", recipe" : ""));
          Host h(nonlinear(fit.name(), fit.shape.m, fit.start(), {}, 0.0, 0.0,
                           [&fit](const auto* x, auto* r) { fit.residuals(x, r); }));
          const Outcome out = solve(h, *options, given);
          EXPECT_EQ(out.status, 0) << h.records.back().at("exit");
          EXPECT_LT(excessOverNoise(fit, out.x.data()), 100.0);
        }
    }
}

// How the README's fit ends. With the default options no rule ends it
// before "maxit"; "tolEnhRel" and "tolStepRel" end it at the answer, to 9
// digits from 1e-6 to 1e-12 (1e-15 for "tolEnhRel") and to 7 an iteration
// earlier at 1e-4, and "tolStepRel" 1e-15 never; the trust-region
// direction with a fixed step gets there too; a fixed Gauss-Newton step
// overshoots from the start and stalls, and so does a fixed step that
// leaves x where it is.
using TrovikReadmeFitThreaded = TrovikFixture;

TEST_F(TrovikReadmeFitThreaded, Ends) {
  const Options trust = {{"sdirs", 64}, {"alpha", 1}, {"tolEnhRel", 1e-12}};
  struct Case {
    Options options;
    int status;
    const char* code;
    long minIterations, maxIterations;
    double digits;  // of each parameter at the end; 0: the run stays at the start
  } const cases[] = {
      {{{"maxit", 100}}, 1, "12", 101, 101, 9},
      {{{"tolEnhRel", 1e-12}}, 0, "24", 6, 6, 9},
      {{{"tolStepRel", 1e-10}}, 0, "22", 6, 6, 9},
      {{{"tolEnhRel", 1e-6}}, 0, "24", 5, 6, 9},
      {{{"tolEnhRel", 1e-15}}, 0, "24", 5, 6, 9},
      {{{"tolStepRel", 1e-6}}, 0, "22", 5, 6, 9},
      {{{"tolStepRel", 1e-12}}, 0, "22", 5, 6, 9},
      {{{"tolEnhRel", 1e-4}}, 0, "24", 4, 4, 7},
      {{{"tolStepRel", 1e-4}}, 0, "22", 4, 4, 7},
      {{{"tolStepRel", 1e-15}, {"maxit", 100}}, 1, "12", 101, 101, 9},
      {trust, 0, "24", 14, 14, 9},
      {{{"sdirs", 4}, {"alpha", 1}}, 1, "34", 1, 1, 0},
      // Any level above 3 is the strong test, any below 0 the decrease alone.
      {{{"tolEnhRel", 1e-12}, {"wolcheck", 5}}, 0, "24", 1, 8, 9},
      {{{"tolEnhRel", 1e-12}, {"wolcheck", -1}}, 0, "24", 1, 8, 9},
      // Trials that leave x where it is (a zero direction, or a step lost
      // in the rounding of x) say nothing about the start: a stall.
      {{{"sdirs", 2}, {"alpha", 1}}, 1, "34", 1, 1, 0},   // SD1's zero direction
      {{{"sdirs", 32}, {"alpha", 1}}, 1, "34", 1, 1, 0},  // SD5's
      {{{"alpha", 1e-200}}, 1, "34", 1, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << &c - cases);
    Host h(readmeFit());
    const Outcome out = solve(h, c.options);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(h.records.back().at("code"), c.code);
    const long iterations = static_cast<long>(withKey(h, "tj").size());
    EXPECT_GE(iterations, c.minIterations);
    EXPECT_LE(iterations, c.maxIterations);
    if (c.digits == 0) {
      EXPECT_EQ(out.x, h.problem.start);
      continue;
    }
    for (std::size_t j = 0; j < 2; ++j)
      EXPECT_NEAR(out.x[j], h.problem.solution[j],
                  std::pow(10.0, -c.digits) * h.problem.solution[j])
          << j;
  }
}

// What the README's fit costs, as the README quotes it: each phrase below,
// with the counts of its runs filled in, must stand in README.md. The
// counters leave out the start point's evaluation.
TEST_F(TrovikReadmeFitThreaded, CostsAsTheReadmeQuotes) {
  struct Counts {
    long iterations, residuals, jacobians;
  };
  const auto measured = [this](bool exact, Options options) {
    Host h(readmeFit(exact));
    solve(h, options);
    const Record& counters = h.records.at(h.records.size() - 2);
    const Counts c{static_cast<long>(withKey(h, "tj").size()), std::stol(counters.at("cf")),
                   std::stol(counters.at("cJ"))};
    EXPECT_EQ(h.residualCalls, c.residuals + 1);
    EXPECT_EQ(h.jacobianCalls, c.jacobians);
    return c;
  };
  const Options tolEnhRel = {{"tolEnhRel", 1e-12}};
  const Options trust = {{"sdirs", 64}, {"alpha", 1}, {"tolEnhRel", 1e-12}};
  const Options unchecked = {{"checkgradient", -1}};
  const Counts fit = measured(false, tolEnhRel), exact = measured(true, tolEnhRel),
               trusted = measured(false, trust), exactTrusted = measured(true, trust),
               hundred = measured(false, {{"maxit", 100}}),
               early = measured(false, {{"maxit", 3}}),
               bare = measured(false, {{"maxit", 3}, unchecked[0]}),
               bareTrusted = measured(false, {trust[0], trust[1], trust[2], unchecked[0]});
  // Every iteration of the line search costs the same (the first three,
  // far from the answer, ask for no verdict); the checks of the first
  // iteration come on top, and at the points a verdict asks for them the
  // measurements of the residuals' noise, 6 to 30 evaluations each.
  const long perIteration = bare.residuals / bare.iterations;
  EXPECT_EQ(bare.residuals, perIteration * bare.iterations);
  EXPECT_EQ(bare.jacobians, bare.iterations);
  const long checks = early.residuals - bare.residuals;
  EXPECT_EQ(early.jacobians - bare.jacobians, 1);
  const auto measuring = [&](const Counts& c) {
    return c.residuals - checks - perIteration * c.iterations;
  };
  EXPECT_EQ(measuring(fit) % 6, 0);
  EXPECT_EQ(measuring(hundred) % 6, 0);
  EXPECT_GT(measuring(hundred), 0);
  const long perTrustedIteration = bareTrusted.residuals / bareTrusted.iterations;
  EXPECT_EQ(bareTrusted.residuals, perTrustedIteration * bareTrusted.iterations);
  const OptsTrovik defaults;
  const auto with = [](const Counts& c) {
    return std::to_string(c.iterations) + " with " + grouped(c.residuals);
  };
  const std::string phrases[] = {
      "runs all " + grouped(defaults.maxit + 1) + " iterations, " + std::to_string(perIteration) +
          " residual evaluations each",
      std::to_string(perIteration) + " residual evaluations and one Jacobian per iteration",
      std::to_string(checks) + " residual evaluations and a Jacobian for the first iteration's",
      "(" + grouped(fit.residuals) + " and " + std::to_string(fit.jacobians) + " in its " +
          std::to_string(fit.iterations) + " iterations, " + std::to_string(measuring(fit)) +
          " of them measuring",
      "without the perturbation, " + grouped(exact.residuals) + " and " +
          std::to_string(exact.jacobians) + " in " + std::to_string(exact.iterations) + ")",
      std::to_string(perTrustedIteration) + " times per iteration on the fit above",
      with(trusted) + " residual and " + std::to_string(trusted.jacobians) +
          " Jacobian evaluations against " + with(fit) + " and " + std::to_string(fit.jacobians),
      "(without the perturbation " + with(exactTrusted) + " and " +
          std::to_string(exactTrusted.jacobians) + ", against " + with(exact) + " and " +
          std::to_string(exact.jacobians) + ")",
  };
  for (const std::string& phrase : phrases) EXPECT_TRUE(readmeSays(phrase)) << phrase;
}

}  // namespace
