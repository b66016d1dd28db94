// What a host controls in a driver call, through both drivers: SIGINT at
// any moment of a run, option values refused before any callback runs,
// callbacks that add into their outputs, write nothing or report a failure
// by a NaN, and a state file that is no regular file.
// The cases that could end or block the process run in a child ("threadsafe"
// death tests), which reports through its exit code.

#include <fenv.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/captured_output.h"
#include "support/fp_traps.h"
#include "support/scratch_dir.h"
#include "zelk/trovik.h"
#include "zelk/zelk.h"

namespace {

using namespace std::chrono_literals;
using Record = std::map<std::string, std::string>;
using Options = std::vector<std::pair<std::string, double>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long kN = 3;
constexpr double kWeight[kN] = {1, 2, 3};

enum class Driver { Zelk, Trovik };
enum class Callback {
  None,
  Objective,
  Gradient,
  Hessian,
  Product,
  Residual,
  Jacobian,
  Jv,
  VJ,
  Record
};

// f(x) = sum_i w_i^2 (x_i - 1)^2 for zelk, the residuals r_i(x) = w_i (x_i - 1)
// for trovik, w = (1, 2, 3); both least at x = (1, 1, 1).
struct ControlHost {
  Callback slow = Callback::None;    // sleeps 2 ms; its second call is interrupted
  Callback silent = Callback::None;  // returns without writing its outputs
  // Writes as assembly code does: adds each term into its outputs, skips the
  // structural zeros of H and J, leaves w beside H V and *f beside g or H
  // alone.
  Callback assembling = Callback::None;
  Callback poisoned = Callback::None;  // NaN in its last entry at its fifth call
  bool reversedGradient = false;       // zelk's gradient callback gives -g
  long calls = 0;                      // of every callback, the records' included
  long slowCalls = 0;
  long assemblingCalls = 0;
  double objectiveBias = 0.0;  // added to the *f an assembling gradient reports
  long unzeroedStarts = 0;     // assembling calls whose outputs did not start as zeros
  long poisonedCalls = 0;
  std::vector<Record> records = {};

  std::string final(const char* key) const {
    return records.empty() || !records.back().count(key) ? "" : records.back().at(key);
  }
  long iterations() const {
    long count = 0;
    for (const Record& r : records) count += r.count("tj") ? 1 : 0;
    return count;
  }
};

// The interrupt of the slow callback's second call: the callback marks
// stage 1 and waits; another thread sends SIGINT to the driver's thread and
// marks stage 2; the callback goes on with its 2 ms.
std::atomic<int> interruptStage{0};

// Every callback starts here; true when it is to write its outputs.
bool enter(void* user, Callback which) {
  ControlHost& h = *static_cast<ControlHost*>(user);
  ++h.calls;
  if (which == h.slow) {
    if (++h.slowCalls == 2) {
      interruptStage = 1;
      for (int i = 0; i < 100000 && interruptStage != 2; ++i) std::this_thread::sleep_for(100us);
    }
    std::this_thread::sleep_for(2ms);
  }
  return which != h.silent;
}

void keepRecord(void* user, const char** keys, const char** values, long count) {
  Record& r = static_cast<ControlHost*>(user)->records.emplace_back();
  for (long i = 0; i < count; ++i) r[keys[i]] = values[i];
}

struct Block {
  const double* data;
  long size;
};

// True when `which` is the assembling callback; counts the call, and the
// outputs that did not hold zeros (of either sign) when it started.
bool assembles(void* user, Callback which, std::initializer_list<Block> outputs) {
  ControlHost& h = *static_cast<ControlHost*>(user);
  if (which != h.assembling) return false;
  ++h.assemblingCalls;
  for (const Block& b : outputs)
    for (long i = 0; i < b.size; ++i)
      if (b.data[i] != 0.0) {
        ++h.unzeroedStarts;
        return true;
      }
  return true;
}

// The poisoned callback's fifth call ends with a NaN in the last entry.
void poison(void* user, Callback which, double* out, long size) {
  ControlHost& h = *static_cast<ControlHost*>(user);
  if (which == h.poisoned && ++h.poisonedCalls == 5) out[size - 1] = kNaN;
}

double term(const double* x, long i) { return kWeight[i] * kWeight[i] * (x[i] - 1) * (x[i] - 1); }
double slope(const double* x, long i) { return 2 * kWeight[i] * kWeight[i] * (x[i] - 1); }
double curvature(long i) { return 2 * kWeight[i] * kWeight[i]; }

int objective(const double* x, long, double* f, long, void* u) {
  if (!enter(u, Callback::Objective)) return 1;
  if (assembles(u, Callback::Objective, {{f, 1}})) {
    for (long i = 0; i < kN; ++i) *f += term(x, i);
    return 0;
  }
  *f = 0.0;
  for (long i = 0; i < kN; ++i) *f += term(x, i);
  poison(u, Callback::Objective, f, 1);
  return 0;
}
void fillGradient(const double* x, double* g) {
  for (long i = 0; i < kN; ++i) g[i] = slope(x, i);
}
int gradient(const double* x, long, double* f, long, double* g, void* u) {
  if (!enter(u, Callback::Gradient)) return 1;
  if (assembles(u, Callback::Gradient, {{f, 1}, {g, kN}})) {
    for (long i = 0; i < kN; ++i) {
      *f += term(x, i);
      g[i] += slope(x, i);
    }
    *f += static_cast<ControlHost*>(u)->objectiveBias;
    return 0;
  }
  fillGradient(x, g);
  if (static_cast<ControlHost*>(u)->reversedGradient)
    for (long i = 0; i < kN; ++i) g[i] = -g[i];
  poison(u, Callback::Gradient, g, kN);
  return 0;
}
int hessian(const double* x, long, double* f, long, double* g, double* H, void* u) {
  if (!enter(u, Callback::Hessian)) return 1;
  if (assembles(u, Callback::Hessian, {{f, 1}, {g, kN}, {H, kN * kN}})) {
    for (long i = 0; i < kN; ++i) {
      g[i] += slope(x, i);
      H[i * (kN + 1)] += curvature(i);
    }
    return 0;
  }
  fillGradient(x, g);
  for (long i = 0; i < kN * kN; ++i) H[i] = i % (kN + 1) == 0 ? curvature(i / kN) : 0;
  poison(u, Callback::Hessian, H, kN * kN);
  return 0;
}
int product(const double* x, long, double* f, long, const double* V, int k, double* w, double* W,
            void* u) {
  if (!enter(u, Callback::Product)) return 1;
  if (assembles(u, Callback::Product, {{f, 1}, {w, kN}, {W, kN * k}})) {
    for (long i = 0; i < kN * k; ++i) W[i] += curvature(i / k) * V[i];
    return 0;
  }
  fillGradient(x, w);
  for (long i = 0; i < kN * k; ++i) W[i] = curvature(i / k) * V[i];
  poison(u, Callback::Product, W, kN * k);
  return 0;
}
int output(const double*, long, const double*, long, const void*, const void*, const char** keys,
           const char** values, long count, void* u) {
  enter(u, Callback::Record);
  keepRecord(u, keys, values, count);
  return 0;
}

double residualOf(const double* x, long i) { return kWeight[i] * (x[i] - 1); }
void fillResiduals(const double* x, double* r) {
  for (long i = 0; i < kN; ++i) r[i] = residualOf(x, i);
}
int residual(const double* x, size_t, double* r, size_t, void* u) {
  if (!enter(u, Callback::Residual)) return 1;
  if (assembles(u, Callback::Residual, {{r, kN}})) {
    for (long i = 0; i < kN; ++i) r[i] += residualOf(x, i);
    return 0;
  }
  fillResiduals(x, r);
  poison(u, Callback::Residual, r, kN);
  return 0;
}
// r of the Jacobian and product callbacks holds the residuals at the
// driver's point when the call starts: only the derivative outputs start
// as zeros.
int jacobian(const double* x, size_t, double* r, size_t, double* J, void* u) {
  if (!enter(u, Callback::Jacobian)) return 1;
  fillResiduals(x, r);
  if (assembles(u, Callback::Jacobian, {{J, kN * kN}})) {
    for (long i = 0; i < kN; ++i) J[i * (kN + 1)] = kWeight[i];
    return 0;
  }
  for (long i = 0; i < kN * kN; ++i) J[i] = i % (kN + 1) == 0 ? kWeight[i / kN] : 0;
  poison(u, Callback::Jacobian, J, kN * kN);
  return 0;
}
// J is diagonal, so J v and J^T w are the same product.
template <Callback Which>
int diagonalProduct(const double* x, size_t, double* r, size_t, const double* in, long count,
                    double* out, void* u) {
  if (!enter(u, Which)) return 1;
  fillResiduals(x, r);
  if (assembles(u, Which, {{out, kN * count}})) {
    for (long i = 0; i < kN * count; ++i) out[i] += kWeight[i % kN] * in[i];
    return 0;
  }
  for (long i = 0; i < kN * count; ++i) out[i] = kWeight[i % kN] * in[i];
  poison(u, Which, out, kN * count);
  return 0;
}
int iteration(const double*, size_t, const double*, size_t, const void*, const void*,
              const char** keys, const char** values, long count, void* u) {
  enter(u, Callback::Record);
  keepRecord(u, keys, values, count);
  return 0;
}

struct Outcome {
  int status = -100;
  std::vector<double> x = std::vector<double>(kN, kNaN);
};

// One call from (0.5, 0, 2). zelk gets the Hessian or the product callback
// when it is the case's slow, silent, assembling or poisoned one; trovik
// gets both products instead of the Jacobian when one of them is.
Outcome run(Driver driver, ControlHost& h, const Options& options) {
  std::vector<const char*> names;
  std::vector<double> values;
  for (const auto& [name, value] : options) {
    names.push_back(name.c_str());
    values.push_back(value);
  }
  const auto uses = [&h](Callback c) {
    return h.slow == c || h.silent == c || h.assembling == c || h.poisoned == c;
  };
  const double x0[kN] = {0.5, 0.0, 2.0};
  Outcome out;
  if (driver == Driver::Zelk) {
    double f = kNaN;
    out.status = zelk(x0, out.x.data(), kN, &f, 1, objective, gradient, nullptr,
                      uses(Callback::Hessian) ? hessian : nullptr,
                      uses(Callback::Product) ? product : nullptr, output, names.data(),
                      values.data(), static_cast<long>(names.size()), &h);
  } else {
    const bool products = uses(Callback::Jv) || uses(Callback::VJ);
    double r[kN];
    out.status = trovik(x0, out.x.data(), kN, r, kN, residual, products ? nullptr : jacobian,
                        products ? diagonalProduct<Callback::Jv> : nullptr,
                        products ? diagonalProduct<Callback::VJ> : nullptr, nullptr, iteration,
                        names.data(), values.data(), static_cast<long>(names.size()), &h);
  }
  return out;
}

const char* nameOf(Driver d) { return d == Driver::Zelk ? "zelk" : "trovik"; }

using Handler = void (*)(int);

Handler dispositionOf(int signal) {
  struct sigaction current = {};
  sigaction(signal, nullptr, &current);
  return current.sa_handler;
}

[[noreturn]] void exitWith(bool ok) { std::_Exit(ok ? 0 : 1); }

class HostControls : public testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_FALSE(dir_.path().empty());
    setenv("HTTP_PORT", "0", 1);  // trovik's monitor
  }
  ScratchDir dir_;
  FpTrapGuard traps_;
};

// A run spends nearly all its time in callbacks: with "enableSigIntHandler"
// the driver's handler must take a SIGINT there too, and the run end at the
// end of that iteration. The host's default disposition would kill the
// child instead.
TEST_F(HostControls, SigintDuringACallbackStopsTheRunAtTheEndOfItsIteration) {
  const struct {
    Driver driver;
    Callback slow;
  } cases[] = {{Driver::Zelk, Callback::Objective},
               {Driver::Trovik, Callback::Residual},
               {Driver::Trovik, Callback::Jacobian}};
  for (const auto& c : cases)
    EXPECT_EXIT(
        {
          signal(SIGINT, SIG_DFL);
          const int hostTraps = fegetexcept();
          const pthread_t driverThread = pthread_self();
          std::thread sender([driverThread] {
            for (int i = 0; i < 100000 && interruptStage != 1; ++i)
              std::this_thread::sleep_for(100us);
            pthread_kill(driverThread, SIGINT);
            interruptStage = 2;
          });
          ControlHost h{.slow = c.slow};
          const Outcome out = run(c.driver, h,
                                  {{"enableSigIntHandler", 1},
                                   {"maxit", 20},
                                   {"saveLast", 0},
                                   {"tolObjAbs", -1},
                                   {"tolObjRel", -1},
                                   {"tolGradAbs", -1},
                                   {"tolGradRel", -1}});
          sender.join();
          exitWith(out.status == 1 && h.final("code") == "30" &&
                   h.final("exit") == "user interrupt" && h.iterations() == 1 &&
                   dispositionOf(SIGINT) == SIG_DFL && fegetexcept() == hostTraps);
        },
        testing::ExitedWithCode(0), "Interupt signal caught: stop at end of iteration\n")
        << nameOf(c.driver) << " " << static_cast<int>(c.slow);
}

// Only the values a driver cannot run with are refused: at the start,
// whatever "enableExit" says (status 1, the option and its value on standard
// error, no callback). Values that look alike but that the driver reads
// with a meaning, or that nothing reads in the run, run: converging (status
// 0), or for a fixed step the run cannot take, stalling (status 1) where it
// started, or, for zelk's fixed step backwards along the direction of a
// gradient given with its sign reversed, moving downhill.
TEST_F(HostControls, OnlyValuesNoRunCanWorkWithAreRefusedBeforeAnyCallback) {
  enum Drivers { Z = 1, T = 2, Both = 3 };
  // The host computes without traps of its own: at the huge steps its
  // values overflow. The drivers arm theirs for their own arithmetic.
  fedisableexcept(FE_ALL_EXCEPT);
  const Options stop = {{"maxit", 50}, {"saveLast", 0}};
  const std::vector<double> x0 = {0.5, 0.0, 2.0};
  // x0 - 0.05 d, d = -g = grad f(x0) = (-1, -8, 18) with g given reversed.
  const std::vector<double> backwards = {0.55, 0.4, 1.1};
  struct Case {
    Options options;
    int drivers;
    const char* refused;  // "<name>\" = <value>" of the message; null: runs
    int status = 1;
    const char* code = "";  // "stall": 34 or 35, ended where it started
    std::vector<double> x = {};  // where the run ends; empty: at the minimum (1, 1, 1)
    bool reversed = false;
  };
  const Case cases[] = {
      {{{"nsweeps", -1}}, Both, "nsweeps\" = -1"},
      {{{"nsweeps", 5000}}, Both, "nsweeps\" = 5000"},
      {{{"lstype", 0}, {"lsmaxit", 1e9}}, T, "lsmaxit\" = 1e+09"},
      {{{"c1", kNaN}}, Both, "c1\" = NaN"},
      {{{"c1", kInf}}, Both, "c1\" = inf"},
      {{{"wolcheck", 2}, {"c2", kNaN}}, Both, "c2\" = NaN"},
      {{{"wolcheck", 5}, {"c2", -kInf}}, Both, "c2\" = -inf"},
      {{{"alpha0", 0}}, Z, "alpha0\" = 0"},
      {{{"alpha0", kNaN}}, Z, "alpha0\" = NaN"},
      {{{"alpha0", kInf}}, Z, "alpha0\" = inf"},
      {{{"sdirs", 0}}, T, "sdirs\" = 0"},
      {{{"sdirs", -128}}, T, "sdirs\" = -128"},
      // Not read in these runs.
      {{{"lsmaxit", 1e9}}, T, nullptr, 0},
      {{{"alpha0", 0}}, T, nullptr, 0},
      {{{"c2", kNaN}}, Both, nullptr, 0},
      {{{"checkgradient", -1}, {"checkHessian", -1}, {"tolCheckGrad", -1}, {"tolCheckFunc", -1},
        {"tolCheckHess", -1}},
       Both, nullptr, 0},
      // Read with a meaning.
      {{{"tolCheckGrad", kNaN}, {"tolCheckFunc", kNaN}}, Both, nullptr, 0},  // fails nothing
      {{{"wolcheck", 5}}, Z, nullptr, 0},  // trovik's in its solutions' tests
      {{{"wolcheck", -1}}, Both, nullptr, 0},
      {{{"objLimit", kInf}}, Z, nullptr, 0},
      {{{"objLimit", -kInf}}, Z, nullptr, 0},
      // trovik's Jacobian norm stays 3.7: no rule but "maxit" holds.
      {{{"objLimit", kInf}}, T, nullptr, 1, "12"},
      {{{"objLimit", -kInf}}, T, nullptr, 1, "12"},
      {{{"alphamin", 1e308}}, T, nullptr, 0},
      {{{"alpha", 1e300}}, Both, nullptr, 1, "stall", x0},
      {{{"alpha", -1e300}}, Both, nullptr, 1, "stall", x0},
      {{{"alpha", kInf}}, Both, nullptr, 1, "stall", x0},
      {{{"alpha", kNaN}}, Both, nullptr, 1, "stall", x0},
      {{{"alpha", -0.5}}, T, nullptr, 1, "stall", x0},
      {{{"alpha", -0.05}, {"maxit", 0}, {"checkgradient", -1}}, Z, nullptr, 1, "12", backwards,
       true},
  };
  for (const Case& c : cases)
    for (const Driver driver : {Driver::Zelk, Driver::Trovik}) {
      if (!(c.drivers & (driver == Driver::Zelk ? Z : T))) continue;
      SCOPED_TRACE(std::string(nameOf(driver)) + " row " + std::to_string(&c - cases));
      Options options = stop;
      options.insert(options.end(), c.options.begin(), c.options.end());
      ControlHost h{.reversedGradient = c.reversed};
      Outcome out;
      const std::string err = stderrOf([&] { out = run(driver, h, options); });
      EXPECT_EQ(out.status, c.refused ? 1 : c.status);
      if (c.refused) {
        EXPECT_EQ(h.calls, 0);
        EXPECT_PRED2(contains, err, std::string("Error: option \"") + c.refused + " refused: ");
        continue;
      }
      EXPECT_FALSE(contains(err, "refused")) << err;
      if (std::string(c.code) == "stall") {
        EXPECT_TRUE(h.final("code") == "34" || h.final("code") == "35") << h.final("code");
      } else if (*c.code) {
        EXPECT_EQ(h.final("code"), c.code);
      }
      const std::vector<double> expected = c.x.empty() ? std::vector<double>(kN, 1.0) : c.x;
      for (long i = 0; i < kN; ++i) EXPECT_NEAR(out.x[i], expected[i], 1e-6) << i;
    }
}

// A call refused before its first iteration leaves x and f (trovik's x and
// r) as the host gave them. An option value no run can work with and a
// start point whose objective is NaN return 1, whatever "enableExit" says;
// refused arguments and a trovik call with neither the Jacobian nor both
// products are errors: they end the process with status 255 under
// "enableExit" 1 (the default), and return 1 (-1 for the missing
// derivatives) under 0.
TEST_F(HostControls, ACallRefusedBeforeItsFirstIterationLeavesXAndFAlone) {
  enum Fault { None, NoVariables, NoFunction, NanStart, NoDerivatives };
  const Options badOption = {{"nsweeps", -1}};
  const struct {
    Driver driver;
    Fault fault;
    Options options;
    int status;     // returned under "enableExit" 0
    int exitCode;   // of the process under "enableExit" 1; 0: the call returns the status
    long calls;     // of the host's callbacks
    const char* message;
  } cases[] = {
      {Driver::Zelk, None, badOption, 1, 0, 0, "\"nsweeps\" = -1 refused"},
      {Driver::Trovik, None, badOption, 1, 0, 0, "\"nsweeps\" = -1 refused"},
      {Driver::Zelk, NoVariables, {}, 1, 255, 0, "No variables code -1"},
      {Driver::Trovik, NoVariables, {}, 1, 255, 0, "No variables code -1"},
      {Driver::Zelk, NoFunction, {}, 1, 255, 0, "objective is a null pointer code -1"},
      {Driver::Trovik, NoFunction, {}, 1, 255, 0, "residual function is a null pointer code -1"},
      {Driver::Zelk, NanStart, {}, 1, 0, 1, "v0 is inadmissible"},
      {Driver::Trovik, NanStart, {}, 1, 0, 1, "v0 is inadmissible"},
      {Driver::Trovik, NoDerivatives, {}, -1, 255, 1, "both required code -1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(nameOf(c.driver)) + ": " + c.message);
    // x, *f and r hold -7 before the call; the status, and whether they still do.
    const auto call = [&c](double enableExit, ControlHost& h) {
      Options options = c.options;
      options.emplace_back("enableExit", enableExit);
      options.emplace_back("saveLast", 0);
      std::vector<const char*> names;
      std::vector<double> values;
      for (const auto& [name, value] : options) {
        names.push_back(name.c_str());
        values.push_back(value);
      }
      const double x0[kN] = {0.5, c.fault == NanStart ? kNaN : 0.0, 2.0};
      const long n = c.fault == NoVariables ? 0 : kN;
      double x[kN] = {-7, -7, -7}, r[kN] = {-7, -7, -7}, f = -7;
      int status;
      if (c.driver == Driver::Zelk) {
        status = zelk(x0, x, n, &f, 1, c.fault == NoFunction ? nullptr : objective, gradient,
                      nullptr, nullptr, nullptr, output, names.data(), values.data(),
                      static_cast<long>(names.size()), &h);
      } else {
        status = trovik(x0, x, static_cast<size_t>(n), r, kN,
                        c.fault == NoFunction ? nullptr : residual,
                        c.fault == NoDerivatives ? nullptr : jacobian, nullptr, nullptr, nullptr,
                        iteration, names.data(), values.data(), static_cast<long>(names.size()),
                        &h);
      }
      bool untouched = f == -7;
      for (long i = 0; i < kN; ++i) untouched = untouched && x[i] == -7 && r[i] == -7;
      return std::pair(status, untouched);
    };
    const std::pair<int, bool> refused{c.status, true};
    ControlHost h;
    std::pair<int, bool> out;
    EXPECT_PRED2(contains, stderrOf([&] { out = call(0, h); }), c.message);
    EXPECT_EQ(out, refused);
    EXPECT_EQ(h.calls - static_cast<long>(h.records.size()), c.calls);
    EXPECT_EXIT(
        {
          ControlHost child;
          exitWith(call(1, child) == refused);
        },
        testing::ExitedWithCode(c.exitCode), c.message);
  }
}

// Hosts written the way assembly code is (adding each term into outputs
// that start as zeros, skipping structural zeros, leaving w beside H V and
// the optional *f alone) reach the answer with the default checks, and
// every call of theirs finds its outputs zeroed.
TEST_F(HostControls, CallbacksThatAddIntoTheirOutputsOrSkipZerosReachTheAnswer) {
  // A Newton step solves this problem at once: half steps ("alpha" 0.5)
  // make the Hessian row evaluate H and g at many points.
  const struct {
    Driver driver;
    Callback assembling;
    double alpha;
  } cases[] = {{Driver::Zelk, Callback::Objective, 0},  {Driver::Zelk, Callback::Gradient, 0},
               {Driver::Zelk, Callback::Hessian, 0.5},  {Driver::Zelk, Callback::Product, 0},
               {Driver::Trovik, Callback::Residual, 0}, {Driver::Trovik, Callback::Jacobian, 0},
               {Driver::Trovik, Callback::Jv, 0},       {Driver::Trovik, Callback::VJ, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << nameOf(c.driver) << " callback " << static_cast<int>(c.assembling));
    ControlHost h{.assembling = c.assembling};
    Outcome out;
    const std::string err = stderrOf([&] {
      out = run(c.driver, h, {{"enableExit", 0}, {"saveLast", 0}, {"alpha", c.alpha}});
    });
    EXPECT_EQ(out.status, 0);
    for (double xi : out.x) EXPECT_NEAR(xi, 1.0, 1e-6);
    EXPECT_GT(h.assemblingCalls, 0);
    EXPECT_EQ(h.unzeroedStarts, 0);
    EXPECT_FALSE(contains(err, "Error")) << err;
    EXPECT_FALSE(contains(err, "stop: ")) << err;
  }
}

// The objective value a gradient callback may report beside g is compared
// with the objective's in the first iteration's checks only when it was
// written: an assembled one is compared (and a wrong one caught), a
// missing one is not taken for 0.
TEST_F(HostControls, TheObjectiveBesideAGradientIsCheckedWhenTheHostWritesIt) {
  const struct {
    Callback assembling;
    double bias;
    bool caught;
  } cases[] = {{Callback::None, 0.0, false},
               {Callback::Gradient, 0.0, false},
               {Callback::Gradient, 1e-6, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "assembled " << (c.assembling == Callback::Gradient) << " bias " << c.bias);
    ControlHost h{.assembling = c.assembling, .objectiveBias = c.bias};
    Outcome out;
    const std::string err = stderrOf([&] {
      out = run(Driver::Zelk, h, {{"enableExit", 0}, {"saveLast", 0}});
    });
    EXPECT_EQ(contains(err, "Error: gradient function result is incorrect: "), c.caught) << err;
    EXPECT_EQ(out.status, c.caught ? 1 : 0);
  }
}

// A NaN (or an infinity) in its output is how a host reports a failed
// evaluation. In a derivative the driver tests (zelk's gradient, Hessian
// and products, trovik's Jacobian) it is an error: the process ends with
// status 3 under "enableExit" 1 (the default), else the run ends with the
// iteration, code 33, status 1. trovik does not test its products: a NaN
// one spoils the direction it was for, and the run stalls (status 1).
TEST_F(HostControls, ANaNInAnOutputReportsAFailedEvaluation) {
  const struct {
    Driver driver;
    Callback poisoned;
    const char* code;     // with "enableExit" 0
    const char* message;  // on standard error; the process ends with it by default
  } cases[] = {
      {Driver::Zelk, Callback::Gradient, "33", "stop: NaN values encountered"},
      {Driver::Zelk, Callback::Hessian, "33", "stop: NaN values encountered"},
      {Driver::Zelk, Callback::Product, "33", "stop: NaN values encountered"},
      {Driver::Trovik, Callback::Jacobian, "33", "stop: NaN values encountered"},
      {Driver::Trovik, Callback::Jv, "34", nullptr},
      {Driver::Trovik, Callback::VJ, "34", nullptr},
  };
  // The rules that would end the run before the fifth call are off.
  const Options longRun = {{"saveLast", 0},    {"maxit", 20},     {"tolGradAbs", -1},
                           {"tolGradRel", -1}, {"tolObjAbs", -1}, {"tolObjRel", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << nameOf(c.driver) << " callback " << static_cast<int>(c.poisoned));
    ControlHost h{.poisoned = c.poisoned};
    Outcome out;
    Options options = longRun;
    options.emplace_back("enableExit", 0);
    const std::string err = stderrOf([&] { out = run(c.driver, h, options); });
    EXPECT_GE(h.poisonedCalls, 5);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(h.final("code"), c.code);
    if (c.message != nullptr) {
      EXPECT_PRED2(contains, err, c.message);
      EXPECT_EXIT(
          {
            ControlHost child{.poisoned = c.poisoned};
            run(c.driver, child, longRun);
            exitWith(false);
          },
          testing::ExitedWithCode(3), c.message);
    } else {
      EXPECT_EXIT(
          {
            ControlHost child{.poisoned = c.poisoned};
            const Outcome o = run(c.driver, child, longRun);
            exitWith(o.status == 1 && child.final("code") == c.code);
          },
          testing::ExitedWithCode(0), "");
    }
  }
}

// "wolcheck" above 3 is the strong test (level 3), below 0 the plainest one
// (zelk's sufficient decrease alone, level 1; trovik's decrease alone, level
// 0): the same trials, the same choices, the same run. With the constants
// of each row the level it stands for and the one beside it choose
// differently, so a level taken for another shows.
TEST_F(HostControls, EveryWolfeLevelRunsAsItsTest) {
  const Options stop = {{"maxit", 8},       {"saveLast", 0},   {"tolObjAbs", -1},
                        {"tolObjRel", -1},  {"tolGradAbs", -1}, {"tolGradRel", -1}};
  const auto runAt = [&stop](Driver driver, const Options& constants, double level) {
    Options options = stop;
    options.insert(options.end(), constants.begin(), constants.end());
    options.push_back({"wolcheck", level});
    ControlHost h;
    run(driver, h, options);
    std::vector<std::string> values;  // the objective at every iteration, and the calls
    for (const Record& r : h.records)
      if (r.count("tj")) values.push_back(r.at("J"));
    values.push_back(std::to_string(h.calls));
    return values;
  };
  const struct {
    Driver driver;
    Options constants;
    double level;
    int runsAs, differsFrom;
  } cases[] = {
      {Driver::Zelk, {{"c1", 0.3}, {"c2", 0.01}}, 5, 3, 2},
      {Driver::Zelk, {{"c1", 0.3}, {"c2", 0.01}}, 1e6, 3, 1},
      {Driver::Zelk, {{"c1", 0.3}, {"c2", 0.01}}, -1, 1, 3},
      {Driver::Zelk, {{"c1", 0.3}, {"c2", 0.01}}, -1e6, 1, 2},
      {Driver::Trovik, {{"c2", 0.01}}, 5, 3, 2},
      {Driver::Trovik, {{"c2", 0.01}}, 1e6, 3, 2},
      // No step decreases the objective by twice its slope: level 1 finds
      // none, the decrease alone does.
      {Driver::Trovik, {{"c1", 2}}, -1, 0, 1},
      {Driver::Trovik, {{"c1", 2}}, -1e6, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(nameOf(c.driver)) + " row " + std::to_string(&c - cases));
    const auto run = runAt(c.driver, c.constants, c.level);
    EXPECT_EQ(run, runAt(c.driver, c.constants, c.runsAs));
    EXPECT_NE(run, runAt(c.driver, c.constants, c.differsFrom));
  }
}

// A callback that writes nothing hands the driver zeros. The first
// iteration's derivative checks (on by default) report them as a wrong
// derivative; without the checks a zero gradient or Jacobian is a
// stationary point to the driver, and the run ends at the start point with
// "tolGradAbs reached" (status 0).
TEST_F(HostControls, ACallbackThatWritesNothingHandsTheDriverZeros) {
  const struct {
    Driver driver;
    Callback silent;
    const char* checked;           // the check's report (code 33, status 1)
    bool stationaryWithoutChecks;  // else the unchecked run is not asserted
  } cases[] = {
      {Driver::Zelk, Callback::Gradient, "Error: gradient is incorrect: 1 code -1", true},
      {Driver::Zelk, Callback::Hessian, "Error: Hessian is incorrect: 1 code -1", true},
      {Driver::Zelk, Callback::Product, "Error: Hessian is incorrect: 1 code -1", false},
      {Driver::Trovik, Callback::Residual, "Error: Jacobian is incorrect: 1 code -1", false},
      {Driver::Trovik, Callback::Jacobian, "Error: Jacobian is incorrect: 1 code -1", true},
      {Driver::Trovik, Callback::Jv, "Error: Jacobian-vector product is incorrect: 1 code -1",
       false},
      {Driver::Trovik, Callback::VJ, "Error: vector-Jacobian product is incorrect: 1 code -1",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.checked);
    for (const double checks : {0.0, -1.0}) {
      ControlHost h{.silent = c.silent};
      Outcome out;
      const std::string err = stderrOf([&] {
        out = run(c.driver, h,
                  {{"enableExit", 0},
                   {"maxit", 5},
                   {"saveLast", 0},
                   {"checkgradient", checks},
                   {"checkHessian", checks}});
      });
      if (checks == 0.0) {
        EXPECT_EQ(out.status, 1);
        EXPECT_EQ(h.final("code"), "33");
        EXPECT_PRED2(contains, err, c.checked);
      } else if (c.stationaryWithoutChecks) {
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(h.final("code"), "25");
        EXPECT_EQ(out.x, (std::vector<double>{0.5, 0.0, 2.0}));
      }
    }
  }
}

// With "enableResume", a FIFO named as the state file would block the open
// until some writer came; it is read as no state file.
TEST_F(HostControls, AStateFileThatIsNoRegularFileIsPassedOver) {
  for (const Driver driver : {Driver::Zelk, Driver::Trovik})
    EXPECT_EXIT(
        {
          alarm(20);  // a blocked open ends the child
          mkfifo("zelk-current.mat", 0600);
          ControlHost h;
          const Outcome out = run(driver, h, {{"enableResume", 1}, {"saveLast", 0}});
          struct stat info = {};
          bool solved =
              out.status == 0 && stat("zelk-current.mat", &info) == 0 && S_ISFIFO(info.st_mode);
          for (double xi : out.x) solved = solved && std::fabs(xi - 1) < 1e-4;
          exitWith(solved);
        },
        testing::ExitedWithCode(0), "cannot open input file zelk-current.mat: not a regular file\n")
        << nameOf(driver);
}

}  // namespace
