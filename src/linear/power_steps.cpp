#include "linear/power_steps.h"

#include "dense/random.h"

void normaliseToUnit(std::valarray<double>& x) {
  const double len = normfro(x);
  for (double& e : x) e = quietDivide(e, len);
}

EigenPair maxEigenPair(const VectorOperator& A, long n, const std::valarray<double>& x0,
                       double tol, long maxit) {
  std::valarray<double> x = x0.size() == 0 ? randvec(n) : x0;
  normaliseToUnit(x);
  const PowerRun run = powerSteps(A, x, tol, maxit, [] { return false; });
  return EigenPair{OptionMap{{"res", run.res}, {"it", run.it}}, run.me, x};
}
