#include "linear/fft.h"

#include <fftw3.h>

#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

namespace Zelk::FFT {

namespace {

// FFTW's planner keeps global state and is not thread-safe; executing a
// finished plan is. Every plan creation and destruction takes this lock.
std::mutex& plannerMutex() {
  static std::mutex m;
  return m;
}

struct FftwFree {
  void operator()(void* p) const noexcept { fftw_free(p); }
};

template <class T>
std::unique_ptr<T[], FftwFree> fftwArray(std::size_t n) {
  auto* p = static_cast<T*>(fftw_malloc(sizeof(T) * n));
  if (p == nullptr) throw std::bad_alloc();
  return std::unique_ptr<T[], FftwFree>(p);
}

class R2CPlan {
 public:
  R2CPlan(int n, double* in, fftw_complex* out) {
    std::lock_guard<std::mutex> lock(plannerMutex());
    plan_ = fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    if (plan_ == nullptr) throw std::runtime_error("FFT: no plan for the transform");
  }
  ~R2CPlan() {
    std::lock_guard<std::mutex> lock(plannerMutex());
    fftw_destroy_plan(plan_);
  }
  R2CPlan(const R2CPlan&) = delete;
  R2CPlan& operator=(const R2CPlan&) = delete;
  void execute() const { fftw_execute(plan_); }

 private:
  fftw_plan plan_;
};

}  // namespace

std::valarray<double> realSpectrumMagnitudes(const std::valarray<double>& x) {
  const std::size_t len = x.size();
  if (len == 0) return {};
  if (len > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw std::length_error("FFT: sequence too long");
  const std::size_t bins = len / 2 + 1;
  auto in = fftwArray<double>(len);
  auto out = fftwArray<fftw_complex>(bins);
  // FFTW_ESTIMATE leaves the arrays alone while planning, so they may be
  // filled before or after.
  R2CPlan plan(static_cast<int>(len), in.get(), out.get());
  for (std::size_t i = 0; i < len; ++i) in[i] = x[i];
  plan.execute();
  std::valarray<double> mag(bins);
  for (std::size_t k = 0; k < bins; ++k) mag[k] = std::hypot(out[k][0], out[k][1]);
  return mag;
}

}  // namespace Zelk::FFT
