#include <cmath>
#include <complex>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <valarray>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "dense/printers.h"
#include "linear/fft.h"
#include "linear/history_checker.h"

namespace {

using Vec = std::valarray<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(BlackmanHarris, KnownValues) {
  EXPECT_EQ(Zelk::FFT::blackman_harris<double>(0).size(), 0u);
  const Vec one = Zelk::FFT::blackman_harris<double>(1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], 1.0);

  const Vec two = Zelk::FFT::blackman_harris<double>(2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_NEAR(two[0], 6.0e-5, 1e-15);
  EXPECT_NEAR(two[1], 6.0e-5, 1e-15);

  const Vec w = Zelk::FFT::blackman_harris<double>(8);
  const double want[8] = {6.0e-5,          0.03339172347815117, 0.332833504298565,
                          0.8893697722232837, 0.8893697722232837, 0.332833504298565,
                          0.03339172347815117, 6.0e-5};
  ASSERT_EQ(w.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_NEAR(w[i], want[i], 1e-14) << i;
    EXPECT_NEAR(w[i], w[7 - i], 1e-14) << i;
  }
}

std::valarray<double> naiveMagnitudes(const Vec& x) {
  const std::size_t L = x.size();
  Vec mag(L / 2 + 1);
  for (std::size_t k = 0; k < mag.size(); ++k) {
    std::complex<double> s = 0.0;
    for (std::size_t j = 0; j < L; ++j)
      s += x[j] * std::polar(1.0, -2.0 * M_PI * static_cast<double>(j * k) /
                                      static_cast<double>(L));
    mag[k] = std::abs(s);
  }
  return mag;
}

TEST(RealSpectrum, MatchesNaiveTransform) {
  EXPECT_EQ(Zelk::FFT::realSpectrumMagnitudes(Vec{}).size(), 0u);
  for (std::size_t L : {1u, 2u, 7u, 12u, 64u, 100u}) {
    Vec x(L);
    for (std::size_t j = 0; j < L; ++j) x[j] = std::sin(0.7 * j) + 0.1 * j * j - 3.0;
    const Vec got = Zelk::FFT::realSpectrumMagnitudes(x), want = naiveMagnitudes(x);
    ASSERT_EQ(got.size(), want.size()) << L;
    for (std::size_t k = 0; k < want.size(); ++k)
      EXPECT_NEAR(got[k], want[k], 1e-9 * (1.0 + want[k])) << "L " << L << " bin " << k;
  }
}

TEST(RealSpectrum, ConcurrentTransformsAgree) {
  // Plans are made and destroyed under one lock; transforms from several
  // threads at once must give the same answers as one thread alone.
  std::vector<Vec> inputs, want;
  for (std::size_t L = 8; L < 72; L += 4) {
    Vec x(L);
    for (std::size_t j = 0; j < L; ++j) x[j] = std::cos(0.37 * j * j) + 0.5;
    inputs.push_back(x);
    want.push_back(Zelk::FFT::realSpectrumMagnitudes(x));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round)
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          const Vec got = Zelk::FFT::realSpectrumMagnitudes(inputs[i]);
          for (std::size_t k = 0; k < got.size(); ++k)
            mismatches[t] += std::fabs(got[k] - want[i][k]) > 1e-12 * (1.0 + want[i][k]);
        }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}

SolverHistoryChecker checker(OptionMap o) {
  return SolverHistoryChecker(SizedOperator(std::move(o)));
}

TEST(SolverHistoryChecker, ReadsOptionsWithPrefixWinning) {
  SolverHistoryChecker d = checker({});
  EXPECT_EQ(d.histlen, 32);
  EXPECT_EQ(d.slowtol, 1e-4);
  EXPECT_EQ(d.cycletol, 0.5);
  EXPECT_EQ(d.estalpha, 0.9);
  EXPECT_EQ(d.count, 0);
  EXPECT_TRUE(d.history.empty());

  SolverHistoryChecker c = checker({{"histlen", 8L}, {"itctrl.histlen", 16L}, {"slowtol", 0.25},
                                    {"itctrl.cycletol", 0.75}, {"estalpha", 0.5}});
  EXPECT_EQ(c.histlen, 16);
  EXPECT_EQ(c.slowtol, 0.25);
  EXPECT_EQ(c.cycletol, 0.75);
  EXPECT_EQ(c.estalpha, 0.5);

  EXPECT_THROW(checker({{"histlen", 8.0}}), std::bad_variant_access);
  EXPECT_THROW(checker({{"itctrl.slowtol", 1L}}), std::bad_variant_access);
  // A wrongly typed plain key fails even when the prefixed one is right.
  EXPECT_THROW(checker({{"cycletol", 1L}, {"itctrl.cycletol", 0.5}}), std::bad_variant_access);

  // An empty window is refused by taking the shortest one.
  EXPECT_EQ(checker({{"histlen", 0L}}).histlen, 1);
  EXPECT_EQ(checker({{"histlen", -5L}}).histlen, 1);
  SolverHistoryChecker one = checker({{"histlen", -5L}});
  one.reportIntermediate(0.5, nullptr);
  one.reportIntermediate(0.25, nullptr);
  EXPECT_EQ(one.history, std::vector<double>{0.25});
}

TEST(SolverHistoryChecker, RatesAndValueFindings) {
  IterationControl control;
  SolverHistoryChecker c = checker({});
  testing::internal::CaptureStderr();
  c.reportIntermediate(0.5, &control);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(c.lastRate, 1.0);  // the first previous value is twice the value
  EXPECT_NEAR(c.smoothedRate, 0.1, 1e-16);
  EXPECT_EQ(c.count, 1);
  EXPECT_EQ(control.state, 0);
  c.reportIntermediate(0.25, &control);
  EXPECT_EQ(c.lastRate, 1.0);
  EXPECT_NEAR(c.smoothedRate, 0.19, 1e-15);
  EXPECT_EQ(c.lastResidual, 0.25);

  testing::internal::CaptureStderr();
  c.reportIntermediate(kNaN, &control);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "NaN detected\n");
  EXPECT_EQ(control.state, 2);
  EXPECT_EQ(control.reason, 8);
  EXPECT_EQ(control.value, 0.0);

  IterationControl inf;
  inf.value = 3.0;
  SolverHistoryChecker c2 = checker({});
  testing::internal::CaptureStderr();
  c2.reportIntermediate(-kInf, &inf);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Inf detected\n");
  EXPECT_EQ(inf.state, 2);
  EXPECT_EQ(inf.reason, 16);
  EXPECT_EQ(inf.value, 0.0);

  // Without a record the messages still appear.
  testing::internal::CaptureStderr();
  checker({}).reportIntermediate(kNaN, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "NaN detected\n");

  // A zero value makes the rate NaN, and the smoothed rate never recovers.
  SolverHistoryChecker z = checker({});
  z.reportIntermediate(0.0, nullptr);
  EXPECT_TRUE(std::isnan(z.lastRate));
  z.reportIntermediate(1e-3, nullptr);
  EXPECT_TRUE(std::isnan(z.smoothedRate));
}

TEST(SolverHistoryChecker, SlowConvergenceOnThe68thCall) {
  IterationControl control;
  SolverHistoryChecker c = checker({{"cycletol", 0.0}});
  double v = 1.0, lastV = 0.0;
  int first = 0;
  std::string messages;
  for (int call = 1; call <= 70; ++call, v *= 0.99999) {
    testing::internal::CaptureStderr();
    c.reportIntermediate(v, &control);
    lastV = v;
    const std::string out = testing::internal::GetCapturedStderr();
    if (control.state != 0 && first == 0) {
      first = call;
      EXPECT_EQ(out, "Slow convergence detected\n");
      EXPECT_EQ(control.reason, 128);
      EXPECT_EQ(control.value, c.smoothedRate);
      EXPECT_LT(c.smoothedRate, 1e-4);
    }
    if (first == 0) {
      EXPECT_EQ(out, "") << call;
    }
  }
  EXPECT_EQ(first, 68);
  EXPECT_EQ(c.history.size(), 32u);
  EXPECT_EQ(c.history.back(), lastV);
}

// The cycle criterion written out directly over a naive DFT, to check the
// checker's decision, its reported length and the figures of its message.
struct CycleVerdict {
  bool fires;
  double length;
  std::string line;  // the message the checker prints when it fires
};

CycleVerdict naiveCycle(const std::vector<double>& h, double cycletol) {
  const std::size_t N = h.size();
  double mean = 0.0;
  for (double v : h) mean += v;
  mean /= static_cast<double>(N);
  Vec buf(0.0, 2 * N);
  for (std::size_t i = 0; i < N; ++i) buf[i] = h[i] - mean;
  const double d = static_cast<double>(2 * N - 1);
  for (std::size_t i = 0; i < 2 * N; ++i) {
    const double t = 2.0 * M_PI * static_cast<double>(i) / d;
    buf[i] *= 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) -
              0.01168 * std::cos(3 * t);
  }
  const Vec mag = naiveMagnitudes(buf);
  double total = 0.0, weighted = 0.0;
  std::size_t peak = 0;
  for (std::size_t k = 0; k < mag.size(); ++k) {
    total += mag[k];
    weighted += static_cast<double>(k) * mag[k];
    if (mag[k] > mag[peak]) peak = k;
  }
  const double fi = 0.5 * weighted / total;
  const double M = static_cast<double>(mag.size());
  const bool fires = fi > 2.0 && peak > 5 && mag[peak] * cycletol > total / M;
  std::ostringstream line;
  line << "Cycle of length " << peak / 2 << " (cf=" << fi / M << ", fi=" << fi
       << ") detected, FFT History: " << mag << ", max=" << mag[peak] << " > "
       << total / M / cycletol << "\n";
  return {fires, static_cast<double>(peak / 2), line.str()};
}

TEST(SolverHistoryChecker, DetectsACyclingHistory) {
  // A residual that keeps returning to the same values with period 4,
  // on a slowly decaying level; slow convergence is switched off.
  SolverHistoryChecker c = checker({{"slowtol", -1.0}});
  const double pattern[4] = {1.0, 0.6, 0.2, 0.6};
  int fired = 0, firstFire = 0;
  for (int call = 0; call < 48; ++call) {
    IterationControl control;
    const double v = pattern[call % 4] * std::pow(0.999, call);
    testing::internal::CaptureStderr();
    c.reportIntermediate(v, &control);
    const std::string out = testing::internal::GetCapturedStderr();
    const CycleVerdict want = c.history.size() > 5 ? naiveCycle(c.history, c.cycletol)
                                                   : CycleVerdict{false, 0.0, ""};
    ASSERT_EQ(control.state != 0, want.fires) << "call " << call;
    if (want.fires) {
      ++fired;
      if (firstFire == 0) firstFire = call + 1;
      EXPECT_EQ(control.state, 2);
      EXPECT_EQ(control.reason, 64);
      EXPECT_EQ(control.value, want.length);
      EXPECT_EQ(out, want.line);
    } else {
      EXPECT_EQ(out, "");
    }
  }
  EXPECT_GT(fired, 10);
  EXPECT_GE(firstFire, 7);
  // With a full window of 32 values, period 4 peaks at bin 2N/4 = 16.
  IterationControl last;
  testing::internal::CaptureStderr();
  c.reportIntermediate(pattern[0] * std::pow(0.999, 48), &last);
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_EQ(line, naiveCycle(c.history, c.cycletol).line);
  EXPECT_EQ(line.rfind("Cycle of length 8 (cf=", 0), 0u);
  EXPECT_EQ(last.reason, 64);
  EXPECT_EQ(last.value, 8.0);

  // A constant or too short window never reports; neither does a
  // non-positive cycletol.
  SolverHistoryChecker flat = checker({{"slowtol", -1.0}});
  SolverHistoryChecker off = checker({{"slowtol", -1.0}, {"cycletol", 0.0}});
  IterationControl quiet;
  for (int call = 0; call < 40; ++call) {
    flat.reportIntermediate(0.5, &quiet);
    off.reportIntermediate(pattern[call % 4], &quiet);
  }
  EXPECT_EQ(quiet.state, 0);

  // A cycle and slow convergence in one call: both messages, and the slow
  // convergence finding is what stays in the record.
  SolverHistoryChecker both = checker({{"slowtol", 1e10}});
  IterationControl rec;
  std::string out;
  for (int call = 0; call < 32; ++call) {
    testing::internal::CaptureStderr();
    both.reportIntermediate(pattern[call % 4], &rec);
    out = testing::internal::GetCapturedStderr();
  }
  EXPECT_NE(out.find("Cycle of length 8 "), std::string::npos) << out;
  EXPECT_NE(out.find("\nSlow convergence detected\n"), std::string::npos) << out;
  EXPECT_EQ(rec.reason, 128);
  EXPECT_EQ(rec.value, both.smoothedRate);
}

}  // namespace
