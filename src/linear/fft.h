#pragma once
// Spectral tools of the iteration-history check: the Blackman-Harris window
// and the magnitude spectrum of a real sequence.

#include <cmath>
#include <valarray>

namespace Zelk::FFT {

// The symmetric four-term Blackman-Harris window of length n:
//   w_i = 0.35875 - 0.48829 cos(2 pi i/(n-1)) + 0.14128 cos(4 pi i/(n-1))
//         - 0.01168 cos(6 pi i/(n-1)),  i = 0 .. n-1.
// n = 0 gives an empty window, n = 1 the single value 1 (the formula would
// divide 0 by 0 there).
template <class T>
std::valarray<T> blackman_harris(unsigned long n) {
  std::valarray<T> w(n);
  if (n == 1) {
    w[0] = T(1);
    return w;
  }
  const T d = static_cast<T>(n - 1);
  const T twoPi = T(6.283185307179586), fourPi = T(12.566370614359172),
          sixPi = T(18.84955592153876);
  for (unsigned long i = 0; i < n; ++i) {
    const T x = static_cast<T>(i);
    w[i] = T(0.35875) - T(0.48829) * std::cos(twoPi * x / d) +
           T(0.14128) * std::cos(fourPi * x / d) - T(0.01168) * std::cos(sixPi * x / d);
  }
  return w;
}

// |X_k| for k = 0 .. L/2 of the unnormalised forward transform
// X_k = sum_j x_j exp(-2 pi i jk / L) of the real sequence x of length L.
// An empty x gives an empty result. Safe to call from several threads.
std::valarray<double> realSpectrumMagnitudes(const std::valarray<double>& x);

}  // namespace Zelk::FFT
