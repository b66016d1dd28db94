// The first iteration's derivative checks through `trovik`, with the traps
// on and "enableExit" 0 so that a failed check leaves its message and the
// test host lives. Right derivatives pass on the rational model whose
// parameters span seven orders of magnitude (where a step of 1e-8 ||x||
// along v moves the smallest by a tenth of its size) and on the classic
// collection from its starts and ten and a hundred times them; every kind
// of mistake fails with its message in every check.

#include <cmath>
#include <functional>
#include <string>
#include <utility>

#include "leastsq/trovik_fixture.h"

namespace {

using namespace trovik_host;
namespace rp = residual_problems;

const Callbacks kJacobian = Callbacks::Jacobian, kProducts = Callbacks::Products,
                kAll = Callbacks::JacobianAndProducts;

// A verdict of the checks in what a run wrote.
bool rejected(const std::string& err) {
  return err.find("incorrect") != std::string::npos || err.find("is NaN") != std::string::npos;
}

std::vector<double> scaled(std::vector<double> x, double factor) {
  for (double& e : x) e *= factor;
  return x;
}

using TrovikChecksThreaded = TrovikFixture;

TEST_F(TrovikChecksThreaded, TheRationalModelsRightDerivativesPassEveryCheck) {
  // The directions are random: a few runs of each.
  for (const double level : {0.0, 1.0, 2.0})
    for (const Callbacks given : {kJacobian, kProducts, kAll})
      for (int run = 0; run < 4; ++run) {
        Host h(collected<rp::Rational>({}, 0.0, 0.0));
        solve(h, {{"maxit", 0}, {"checkgradient", level}}, given);
        SCOPED_TRACE("checkgradient " + std::to_string(level) + ", callbacks " +
                     std::to_string(int(given)));
        EXPECT_FALSE(rejected(err_)) << err_;
        const Record& check = h.records.at(3);
        for (const char* key : {"eJ", "eJv", "eJtw"}) {
          if (check.count(key)) {
            EXPECT_LE(valueOf(check, key), 1e-4) << key;
          }
        }
      }
}

TEST_F(TrovikChecksThreaded, TheClassicCollectionPassesFromItsStartsAndTenAndAHundredTimesThem) {
  rp::forEachProblem([&]<class P>() {
    for (const double factor : {1.0, 10.0, 100.0})
      for (const double level : {0.0, 2.0}) {
        Host h(collected<P>({}, 0.0, 0.0));
        h.problem.start = scaled(h.problem.start, factor);
        solve(h, {{"maxit", 0}, {"checkgradient", level}}, kAll);
        EXPECT_FALSE(rejected(err_))
            << P::name << " x" << factor << " checkgradient " << level << "\n"
            << err_;
      }
  });
}

// Mistakes on the entry of largest magnitude, so that it counts in the
// norms the checks compare.
std::size_t largest(const double* v, std::size_t count) {
  std::size_t k = 0;
  for (std::size_t i = 1; i < count; ++i)
    if (std::fabs(v[i]) > std::fabs(v[k])) k = i;
  return k;
}

TEST_F(TrovikChecksThreaded, EveryMistakeFailsWithItsMessage) {
  // Along a random v in (0, 1)^n a wrong entry J_ij changes J v by its
  // error times v_j, which no check can see when v_j happens to be tiny;
  // the decay problem has one variable, so there every mistake in a
  // product shows in full.
  using Mistake = std::function<void(Host&)>;
  const auto onePercentOff = [](std::size_t count) {
    return [count](double* v) { v[largest(v, count)] *= 1.01; };
  };
  const auto signFlipped = [](std::size_t count) {
    return [count](double* v) { v[largest(v, count)] *= -1.0; };
  };
  // J written column by column into the row-major array.
  const Mistake transposed = [](Host& h) {
    const std::size_t m = h.problem.m, n = h.problem.n;
    h.alterJacobian = [m, n](double* J) {
      const std::vector<double> rowMajor(J, J + m * n);
      for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) J[j * m + i] = rowMajor[i * n + j];
    };
  };
  const Mistake jacobianOff = [&](Host& h) {
    h.alterJacobian = onePercentOff(h.problem.m * h.problem.n);
  };
  const Mistake jacobianSign = [&](Host& h) {
    h.alterJacobian = signFlipped(h.problem.m * h.problem.n);
  };
  const Mistake productOff = [&](Host& h) { h.alterJv = onePercentOff(h.problem.m); };
  const Mistake productSign = [&](Host& h) { h.alterJv = signFlipped(h.problem.m); };
  const Mistake transposedOff = [&](Host& h) { h.alterJtw = onePercentOff(h.problem.n); };
  const Mistake transposedSign = [&](Host& h) { h.alterJtw = signFlipped(h.problem.n); };
  // J^T w of A = J + |J| / 2 entry by entry: the transpose of another matrix.
  const Mistake otherMatrix = [](Host& h) {
    const std::size_t count = h.problem.m * h.problem.n;
    h.alterJtwMatrix = [count](double* J) {
      for (std::size_t i = 0; i < count; ++i) J[i] += 0.5 * std::fabs(J[i]);
    };
  };
  const Problem rational = collected<rp::Rational>({}, 0.0, 0.0),
                decay = collected<rp::Decay>({}, 0.0, 0.0);
  const char* const jacobian = "Jacobian is incorrect: ";
  const char* const product = "Jacobian-vector product is incorrect: ";
  const char* const transpose = "vector-Jacobian product is incorrect: ";
  struct Case {
    const char* what;
    const Problem& problem;
    double checkgradient;
    Callbacks given;
    Mistake mistake;
    const char* message;
  } const cases[] = {
      {"J off by 1%", rational, 2, kJacobian, jacobianOff, jacobian},
      {"J sign", rational, 2, kJacobian, jacobianSign, jacobian},
      {"J transposed", rational, 2, kJacobian, transposed, jacobian},
      {"J v off by 1%", decay, 0, kJacobian, jacobianOff, jacobian},
      {"J v sign", decay, 0, kJacobian, jacobianSign, jacobian},
      {"J transposed, along v", rational, 0, kJacobian, transposed, jacobian},
      {"product off by 1%", decay, 0, kProducts, productOff, product},
      {"product sign", decay, 0, kProducts, productSign, product},
      {"transposed product off by 1%", decay, 0, kProducts, transposedOff, transpose},
      {"transposed product sign", decay, 0, kProducts, transposedSign, transpose},
      {"transpose of another matrix", decay, 0, kProducts, otherMatrix, transpose},
      {"transpose of another matrix, 7 variables", rational, 0, kAll, otherMatrix, transpose},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Host h(c.problem);
    c.mistake(h);
    solve(h, {{"maxit", 0}, {"checkgradient", c.checkgradient}}, c.given);
    EXPECT_TRUE(said(std::string("Error: ") + c.message)) << err_;
  }
}

}  // namespace
