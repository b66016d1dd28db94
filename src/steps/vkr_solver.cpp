#include "steps/vkr_solver.h"

void traceVkrStep(std::uint32_t i, double hii, double relres, double tol, double orth) {
  std::cerr << "VKR " << i << " m_H(i,i) = " << hii << " " << relres << " (<" << tol
            << ") orth: " << orth << "               \r" << std::flush;
}

void applyVkrRotations(const VKRInfo& info, std::uint32_t count, std::valarray<double>& v) {
  for (std::uint32_t j = 0; j < count; ++j) {
    const double c = info.cosines[j], s = info.sines[j], a = v[j], b = v[j + 1];
    v[j] = c * a + s * b;
    v[j + 1] = c * b - s * a;
  }
}

bool vkrFinish(VKRInfo& info, std::size_t capacity, const std::valarray<double>& g,
               const std::valarray<double>& x0, std::valarray<double>& x) {
  const std::uint32_t k = info.steps;
  // The basis counts its k rows; row k stays in the storage behind them.
  info.basis.rows = k;
  x = x0;
  if (k == 0) return true;
  std::valarray<double> y(0.0, capacity);
  for (std::uint32_t i = 0; i < k; ++i) y[i] = g[i];
  const SolveTri triangle(&info.m_H, static_cast<std::uint32_t>(capacity), k);
  if (triangle.solve(y, false) != 0 || !allFinite(y)) return false;
  x += matrixTransposeVectorProduct(info.basis, y);
  return allFinite(x);
}
