#include "linear/history_checker.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <string>
#include <valarray>
#include <variant>

#include "dense/printers.h"
#include "dense/quiet_scope.h"
#include "linear/fft.h"

namespace {

// The plain key, then the "itctrl." key over it.
template <class T>
T readCheckerOption(const OptionMap& options, const std::string& key, T def) {
  T value = def;
  if (auto it = options.find(key); it != options.end()) value = std::get<T>(it->second);
  if (auto it = options.find("itctrl." + key); it != options.end())
    value = std::get<T>(it->second);
  return value;
}

void requestStop(IterationControl* control, std::int32_t reason, double value) {
  if (control == nullptr) return;
  control->state = 2;
  control->reason = reason;
  control->value = value;
}

}  // namespace

SolverHistoryChecker::SolverHistoryChecker(const SizedOperator& options)
    : histlen(readCheckerOption<long>(options.options, "histlen", 32)),
      slowtol(readCheckerOption<double>(options.options, "slowtol", 1e-4)),
      cycletol(readCheckerOption<double>(options.options, "cycletol", 0.5)),
      estalpha(readCheckerOption<double>(options.options, "estalpha", 0.9)) {
  // An empty window would leave the cycle test without data.
  if (histlen < 1) histlen = 1;
}

void SolverHistoryChecker::reportIntermediate(double value, IterationControl* control) {
  // The checker exists to meet NaN, infinite and zero residuals, and
  // windows whose spectrum is all zero: its rates, spectrum and tests keep
  // their IEEE values (a NaN centroid fails every test) without trapping.
  const QuietFpScope quiet;
  history.push_back(value);
  if (static_cast<std::int64_t>(history.size()) > histlen)
    history.erase(history.begin(), history.end() - histlen);

  const double prev = count == 0 ? 2.0 * value : lastResidual;
  ++count;
  const double rate = (prev - value) / value;
  smoothedRate = smoothedRate * estalpha + (1.0 - estalpha) * rate;
  lastResidual = value;
  lastRate = rate;

  if (cycletol > 0.0) checkCycle(control);

  if (std::isnan(value)) {
    std::cerr << "NaN detected\n";
    requestStop(control, StopReason::NaN, 0.0);
  } else if (std::fabs(value) > std::numeric_limits<double>::max()) {
    std::cerr << "Inf detected\n";
    requestStop(control, StopReason::Infinite, 0.0);
  } else if (slowtol > smoothedRate) {
    std::cerr << "Slow convergence detected\n";
    requestStop(control, StopReason::SlowConvergence, smoothedRate);
  }
}

void SolverHistoryChecker::checkCycle(IterationControl* control) const {
  const std::size_t N = history.size();
  // A cycle needs its peak above bin 5, and the spectrum ends at bin N: a
  // shorter window can never report one, so it is not transformed.
  if (N <= 5) return;

  double sum = 0.0;
  for (double h : history) sum += h;
  const double mean = sum / static_cast<double>(N);
  std::valarray<double> buffer(0.0, 2 * N);
  for (std::size_t i = 0; i < N; ++i) buffer[i] = history[i] - mean;
  buffer *= Zelk::FFT::blackman_harris<double>(2 * N);
  const std::valarray<double> mag = Zelk::FFT::realSpectrumMagnitudes(buffer);

  const std::size_t M = mag.size();  // N + 1
  double total = 0.0, weighted = 0.0;
  std::size_t peak = 0;
  for (std::size_t k = 0; k < M; ++k) {
    total += mag[k];
    weighted += static_cast<double>(k) * mag[k];
    if (mag[k] > mag[peak]) peak = k;
  }
  const double fi = 0.5 * weighted / total;
  const double meanMag = total / static_cast<double>(M);
  if (!(fi > 2.0 && peak > 5 && mag[peak] * cycletol > meanMag)) return;

  std::cerr << "Cycle of length " << peak / 2 << " (cf=" << fi / static_cast<double>(M)
            << ", fi=" << fi << ") detected, "
            << "FFT History: " << mag << ", max=" << mag[peak] << " > " << meanMag / cycletol
            << "\n";
  requestStop(control, StopReason::Cycle, static_cast<double>(peak / 2));
}
