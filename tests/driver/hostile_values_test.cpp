// Both drivers against hostile hosts: one callback hands over a quiet NaN, a
// signalling NaN, +-infinity, 1e308 or 1e200 in one entry of its output,
// from its first call on or from its fifth call on; or an option that
// enters the drivers' arithmetic has one of those values. With the drivers' default traps
// on, every run must come back (status 1, or status 0 with a finite
// answer), never end the process with SIGFPE, and leave the host's trap
// mask and exception flags as it found them. Each case is a test of its
// own, so a case that ends the process names itself.

#include <fenv.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dense/fp_class.h"
#include "leastsq/trovik_host.h"
#include "support/known_problems.h"
#include "support/run_scratch.h"

namespace {

enum class Value { QuietNaN, SignallingNaN, PlusInf, MinusInf, Huge, Large, Subnormal };
constexpr Value kValues[] = {Value::QuietNaN, Value::SignallingNaN, Value::PlusInf,
                             Value::MinusInf, Value::Huge, Value::Large};
constexpr long kFromCalls[] = {1, 5};

double valueOf(Value v) {
  switch (v) {
    case Value::QuietNaN: return std::numeric_limits<double>::quiet_NaN();
    case Value::SignallingNaN: return std::numeric_limits<double>::signaling_NaN();
    case Value::PlusInf: return std::numeric_limits<double>::infinity();
    case Value::MinusInf: return -std::numeric_limits<double>::infinity();
    case Value::Huge: return 1e308;
    case Value::Large: return 1e200;
    case Value::Subnormal: return std::numeric_limits<double>::denorm_min();
  }
  return 0.0;
}

std::string nameOf(Value v) {
  const char* names[] = {"QuietNaN", "SignallingNaN", "PlusInf", "MinusInf",
                         "Huge",     "Large",         "Subnormal"};
  return names[static_cast<int>(v)];
}

// Every entry finite, tested by its bits (x may hold anything).
bool allFinite(const std::vector<double>& x) {
  for (double e : x)
    if (classifyBits(e) != FpClass::Finite) return false;
  return true;
}

// The host's floating-point state around a driver call: no traps, no
// flags, as a typical host has it; both must be so afterwards.
class HostFpState {
 public:
  HostFpState() {
    previous_ = fegetexcept();
    fedisableexcept(FE_ALL_EXCEPT);
    feclearexcept(FE_ALL_EXCEPT);
  }
  ~HostFpState() {
    feclearexcept(FE_ALL_EXCEPT);
    if (previous_ > 0) feenableexcept(previous_);
  }
  static void expectUntouched(const std::string& what) {
    EXPECT_EQ(fegetexcept(), 0) << what;
    EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), 0) << what;
  }

 private:
  int previous_ = 0;
};

// The poisoning: the target callback's chosen entry (or every entry of its
// output) gets the value on every call from the fromCall-th on.
struct Poison {
  int target = 0;
  double value = 0.0;
  long fromCall = 1;
  bool everyEntry = false;
  long calls = 0;
  void apply(int callback, double* out, std::size_t length, std::size_t chosen) {
    if (callback != target || ++calls < fromCall) return;
    for (std::size_t i = 0; i < length; ++i)
      if (everyEntry || i == chosen) out[i] = value;
  }
};

// --- zelk ---------------------------------------------------------------

enum class ZelkCallback { Objective, Gradient, Hessian, Product };
enum class ZelkGiven { Hessian, Product, ObjectiveOnly };

struct ZelkCase {
  ZelkGiven given;
  ZelkCallback callback;
  Value value;
  long fromCall;
};

struct ZelkHost {
  known_problems::Host base;
  Poison poison;
};

ZelkHost& zelkHost(void* user) { return *static_cast<ZelkHost*>(user); }
int poison(ZelkHost& h, ZelkCallback c, double* out, std::size_t length, std::size_t chosen) {
  h.poison.apply(static_cast<int>(c), out, length, chosen);
  return 0;
}

int zelkObjective(const double* x, long n, double* f, long m, void* user) {
  known_problems::objective(x, n, f, m, &zelkHost(user).base);
  return poison(zelkHost(user), ZelkCallback::Objective, f, 1, 0);
}
int zelkGradient(const double* x, long n, double* f, long m, double* g, void* user) {
  known_problems::gradient(x, n, f, m, g, &zelkHost(user).base);
  return poison(zelkHost(user), ZelkCallback::Gradient, g, n, n - 1);
}
int zelkHessian(const double* x, long n, double* f, long m, double* g, double* H, void* user) {
  known_problems::hessian(x, n, f, m, g, H, &zelkHost(user).base);
  return poison(zelkHost(user), ZelkCallback::Hessian, H, n * n, 0);
}
int zelkProduct(const double* x, long n, double* f, long m, const double* V, int k, double* w,
                double* W, void* user) {
  known_problems::product(x, n, f, m, V, k, w, W, &zelkHost(user).base);
  return poison(zelkHost(user), ZelkCallback::Product, W, n * k, 0);
}

std::vector<ZelkCase> zelkCases() {
  const std::pair<ZelkGiven, std::vector<ZelkCallback>> given[] = {
      {ZelkGiven::Hessian, {ZelkCallback::Objective, ZelkCallback::Gradient, ZelkCallback::Hessian}},
      {ZelkGiven::Product, {ZelkCallback::Objective, ZelkCallback::Gradient, ZelkCallback::Product}},
      {ZelkGiven::ObjectiveOnly, {ZelkCallback::Objective}},
  };
  std::vector<ZelkCase> cases;
  for (const auto& [g, callbacks] : given)
    for (ZelkCallback c : callbacks)
      for (Value v : kValues)
        for (long from : kFromCalls) cases.push_back({g, c, v, from});
  return cases;
}

std::string zelkCaseName(const testing::TestParamInfo<ZelkCase>& info) {
  const char* given[] = {"WithHessian", "WithProducts", "ObjectiveOnly"};
  const char* callback[] = {"Objective", "Gradient", "Hessian", "Product"};
  const ZelkCase& c = info.param;
  return std::string(given[static_cast<int>(c.given)]) + "_" +
         callback[static_cast<int>(c.callback)] + "_" + nameOf(c.value) + "_FromCall" +
         std::to_string(c.fromCall);
}

class ZelkHostileValues : public DriverRunTest<testing::TestWithParam<ZelkCase>> {};

// Rosenbrock's valley with every direction kind in every iteration.
TEST_P(ZelkHostileValues, EndCleanly) {
  const ZelkCase& c = GetParam();
  ZelkHost h;
  h.base.problem = &known_problems::rosenbrock();
  h.poison = {static_cast<int>(c.callback), valueOf(c.value), c.fromCall};
  const bool objectiveOnly = c.given == ZelkGiven::ObjectiveOnly;
  const char* names[] = {"enableExit", "maxit", "sdirs"};
  const double values[] = {0, 40, 31};
  std::vector<double> x(2, -7.0);
  double f = 0.0;
  int status = -100;
  {
    const HostFpState host;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    status = zelk(h.base.problem->start.data(), x.data(), 2, &f, 1, zelkObjective,
                  objectiveOnly ? nullptr : zelkGradient, nullptr,
                  c.given == ZelkGiven::Hessian ? zelkHessian : nullptr,
                  c.given == ZelkGiven::Product ? zelkProduct : nullptr, nullptr, names, values,
                  3, &h);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    HostFpState::expectUntouched("zelk");
  }
  EXPECT_TRUE(status == 0 || status == 1) << status;
  if (status == 0) {
    EXPECT_TRUE(allFinite(x));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ZelkHostileValues, testing::ValuesIn(zelkCases()), zelkCaseName);

// --- trovik ---------------------------------------------------------------

enum class TrovikCallback { Residual, Jacobian, Jv, VJ };
using trovik_host::Callbacks;

struct TrovikCase {
  Callbacks given;
  TrovikCallback callback;
  Value value;
  long fromCall;
};

struct TrovikHost {
  explicit TrovikHost(trovik_host::Problem p) : base(std::move(p)) {}
  trovik_host::Host base;
  Poison poison;
};

TrovikHost& trovikHost(void* user) { return *static_cast<TrovikHost*>(user); }
int poison(TrovikHost& h, TrovikCallback c, double* out, std::size_t length, std::size_t chosen) {
  h.poison.apply(static_cast<int>(c), out, length, chosen);
  return 0;
}

int trovikResidual(const double* x, std::size_t n, double* r, std::size_t m, void* user) {
  trovik_host::residualFn(x, n, r, m, &trovikHost(user).base);
  return poison(trovikHost(user), TrovikCallback::Residual, r, m, m / 2);
}
int trovikJacobian(const double* x, std::size_t n, double* r, std::size_t m, double* J,
                   void* user) {
  trovik_host::jacobianFn(x, n, r, m, J, &trovikHost(user).base);
  return poison(trovikHost(user), TrovikCallback::Jacobian, J, m * n, 0);
}
template <bool Transposed>
int trovikProduct(const double* x, std::size_t n, double* r, std::size_t m, const double* in,
                  long count, double* out, void* user) {
  trovik_host::productFn<Transposed>(x, n, r, m, in, count, out, &trovikHost(user).base);
  return poison(trovikHost(user), Transposed ? TrovikCallback::VJ : TrovikCallback::Jv, out,
                (Transposed ? n : m) * static_cast<std::size_t>(count), 0);
}

std::vector<TrovikCase> trovikCases() {
  const std::pair<Callbacks, std::vector<TrovikCallback>> given[] = {
      {Callbacks::Jacobian, {TrovikCallback::Residual, TrovikCallback::Jacobian}},
      {Callbacks::Products, {TrovikCallback::Residual, TrovikCallback::Jv, TrovikCallback::VJ}},
  };
  std::vector<TrovikCase> cases;
  for (const auto& [g, callbacks] : given)
    for (TrovikCallback c : callbacks)
      for (Value v : kValues)
        for (long from : kFromCalls) cases.push_back({g, c, v, from});
  return cases;
}

std::string trovikCaseName(const testing::TestParamInfo<TrovikCase>& info) {
  const char* callback[] = {"Residual", "Jacobian", "Jv", "VJ"};
  const TrovikCase& c = info.param;
  return std::string(c.given == Callbacks::Jacobian ? "WithJacobian" : "WithProducts") + "_" +
         callback[static_cast<int>(c.callback)] + "_" + nameOf(c.value) + "_FromCall" +
         std::to_string(c.fromCall);
}

// One poisoned trovik run: the status must be 0 or 1, the host's
// floating-point state untouched, and a converged answer finite. The inner
// solves meet products they cannot converge on: their own limit keeps the
// runs short.
void expectCleanEnd(trovik_host::Problem problem, const TrovikCase& c, double sdirs,
                    bool everyEntry) {
  TrovikHost h(std::move(problem));
  h.poison = {static_cast<int>(c.callback), valueOf(c.value), c.fromCall, everyEntry};
  const bool products = c.given == Callbacks::Products;
  const char* names[] = {"enableExit", "maxit", "sdirs", "cgmaxit"};
  const double values[] = {0, 15, sdirs, 50};
  const std::size_t n = h.base.problem.n, m = h.base.problem.m;
  std::vector<double> x(n, -7.0), r(m, 0.0);
  int status = -100;
  {
    const HostFpState host;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    status = trovik(h.base.problem.start.data(), x.data(), n, r.data(), m, trovikResidual,
                    products ? nullptr : trovikJacobian, products ? trovikProduct<false> : nullptr,
                    products ? trovikProduct<true> : nullptr, nullptr, nullptr, names, values, 4,
                    &h);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    HostFpState::expectUntouched("trovik");
  }
  EXPECT_TRUE(status == 0 || status == 1) << status;
  if (status == 0) {
    EXPECT_TRUE(allFinite(x));
  }
}

// Every trovik run starts the monitor's threads; the suites are about values,
// not threads, and stay out of the ThreadSanitizer build.
class TrovikHostileValues : public DriverRunTest<testing::TestWithParam<TrovikCase>> {};

// Bard's problem with every direction kind the callbacks allow in every
// iteration.
TEST_P(TrovikHostileValues, EndCleanly) {
  const TrovikCase& c = GetParam();
  expectCleanEnd(trovik_host::bard(), c, c.given == Callbacks::Products ? 125.0 : 93.0, false);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrovikHostileValues, testing::ValuesIn(trovikCases()),
                         trovikCaseName);

// y = a exp(-b t) + c through twelve noisy samples, from (1, 1, 1).
trovik_host::Problem offsetExponential() {
  return trovik_host::nonlinear("offset-exponential", 12, {1.0, 1.0, 1.0}, {}, 0.0, 1e-8,
                                [](const auto* x, auto* r) {
                                  using std::exp;
                                  for (int i = 0; i < 12; ++i) {
                                    const double t = i;
                                    const double y = 2.0 * std::exp(-0.3 * t) + 0.5 +
                                                     (i % 2 ? 0.01 : -0.01);
                                    r[i] = x[0] * exp(x[1] * -t) + x[2] - y;
                                  }
                                });
}

// One direction kind alone takes paths the mixture above never reaches:
// each row ended the host once (a damped factorisation that overflowed and
// left its pivots unwritten, a step of a subnormal Jacobian divided by an
// underflowed damping, the filtered Krylov solve subtracting infinities).
class TrovikHostileKinds : public DriverRunTest<> {};

TEST_F(TrovikHostileKinds, EndCleanly) {
  struct Row {
    TrovikCase c;
    double sdirs;
    bool everyEntry;
  } const rows[] = {
      {{Callbacks::Jacobian, TrovikCallback::Jacobian, Value::Huge, 8}, 64, false},
      {{Callbacks::Jacobian, TrovikCallback::Jacobian, Value::Subnormal, 1}, 64, true},
      {{Callbacks::Products, TrovikCallback::Residual, Value::Huge, 2}, 32, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(nameOf(row.c.value) + " sdirs " + std::to_string(row.sdirs));
    expectCleanEnd(offsetExponential(), row.c, row.sdirs, row.everyEntry);
  }
}

// --- option values ----------------------------------------------------------

// Each driver with derivatives and with products only: the options reach
// different solvers through them.
enum class Driver { Zelk, ZelkProducts, Trovik, TrovikProducts };

struct OptionCase {
  Driver driver;
  const char* option;
  Value value;
};

// Options that enter the drivers' arithmetic: the objective-limit and
// relative rules, the first step, the inner solves' tolerance, the damping
// bound of the trust-region step.
std::vector<OptionCase> optionCases() {
  std::vector<OptionCase> cases;
  for (Driver d : {Driver::Zelk, Driver::ZelkProducts, Driver::Trovik, Driver::TrovikProducts})
    for (const char* option :
         {"objLimit", "tolObjRel", "tolLimRel", "alpha0", "cgtol", "lmitlargetol"})
      for (Value v : kValues) cases.push_back({d, option, v});
  return cases;
}

std::string optionCaseName(const testing::TestParamInfo<OptionCase>& info) {
  const char* drivers[] = {"Zelk_", "ZelkProducts_", "Trovik_", "TrovikProducts_"};
  const OptionCase& c = info.param;
  return std::string(drivers[static_cast<int>(c.driver)]) + c.option + "_" + nameOf(c.value);
}

class HostileOptions : public DriverRunTest<testing::TestWithParam<OptionCase>> {};

// Rosenbrock's valley for zelk with its Hessian (every direction kind in
// every iteration) or its products (the default kind, the lifted CG
// direction, alone), Bard's problem for trovik with its Jacobian or its
// products (every kind they allow).
TEST_P(HostileOptions, EndCleanly) {
  const OptionCase& c = GetParam();
  const char* names[] = {"enableExit", "maxit", "sdirs", c.option};
  const bool zelkRun = c.driver == Driver::Zelk || c.driver == Driver::ZelkProducts;
  const bool products = c.driver == Driver::ZelkProducts || c.driver == Driver::TrovikProducts;
  int status = -100;
  std::vector<double> x;
  {
    const HostFpState host;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    if (zelkRun) {
      known_problems::Host h;
      h.problem = &known_problems::rosenbrock();
      const double values[] = {0, 40, products ? 8.0 : 31.0, valueOf(c.value)};
      x.assign(2, -7.0);
      double f = 0.0;
      status = zelk(h.problem->start.data(), x.data(), 2, &f, 1, known_problems::objective,
                    known_problems::gradient, nullptr,
                    products ? nullptr : known_problems::hessian,
                    products ? known_problems::product : nullptr, nullptr, names, values, 4, &h);
    } else {
      trovik_host::Host h(trovik_host::bard());
      const double values[] = {0, 15, products ? 125.0 : 93.0, valueOf(c.value)};
      x.assign(h.problem.n, -7.0);
      std::vector<double> r(h.problem.m, 0.0);
      status = trovik(h.problem.start.data(), x.data(), h.problem.n, r.data(), h.problem.m,
                      trovik_host::residualFn, products ? nullptr : trovik_host::jacobianFn,
                      products ? trovik_host::productFn<false> : nullptr,
                      products ? trovik_host::productFn<true> : nullptr, nullptr, nullptr, names,
                      values, 4, &h);
    }
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    HostFpState::expectUntouched(zelkRun ? "zelk" : "trovik");
  }
  EXPECT_TRUE(status == 0 || status == 1) << status;
  if (status == 0) {
    EXPECT_TRUE(allFinite(x));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileOptions, testing::ValuesIn(optionCases()),
                         optionCaseName);

}  // namespace
