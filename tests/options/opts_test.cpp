#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <string>

#include <gtest/gtest.h>

#include "dense/decomposed_sym.h"
#include "dense/lap_qr.h"
#include "options/opts.h"

namespace {

using Overrides = std::map<std::string, double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every registered option with the field it must reach, its type, default,
// range and flags word, in the order of the option table, kept independently
// of the library's own list.
enum class Kind { Long, Int, UInt, Double };
struct Expected {
  const char* name;
  std::size_t offset;
  Kind kind;
  double def;
  double min = 0, max = 0;  // 0 and 0: no range
  std::uint64_t flags = 0;
};
#define ROW(f, k, ...) {#f, offsetof(OptsStruct, f), Kind::k, __VA_ARGS__}
#define L(f, ...) ROW(f, Long, __VA_ARGS__)
#define I(f, ...) ROW(f, Int, __VA_ARGS__)
#define U(f, ...) ROW(f, UInt, __VA_ARGS__)
#define D(f, ...) ROW(f, Double, __VA_ARGS__)
const Expected kOptions[] = {
    U(maxit, 10000), D(maxrt, 86400), U(saveEvery, 1, 0, 1000, 0x200),
    U(saveLast, 1, 0, 1000, 0x100), I(cgmode, 4, 0, 4, 0x300), I(cgbetalim, 0, 0, 1, 0x100),
    D(cgbeta, 0.7), I(cgrec, 0, 0, 1000, 0x200), I(cgreset, 0, 0, 1000, 0x200), D(cgnormalshift, 0),
    D(c1, 0.0001, 0, 1, 0x1), D(c2, 0.9, 0, 1, 0x1), I(wolcheck, 1), I(lstype, 1), I(lsmaxit, 7),
    I(invpitlins, 2), D(minvrelshift, 1e-14), I(checkgradient, 0, 0, 1, 0x100),
    I(checkHessian, 0, 0, 1, 0x100), I(checkdecomp, 0, 0, 1, 0x100), U(dump, 0, 0, 16777215, 0x400),
    D(lmdmode, 1, 0, 1, 0x1), D(lmsigma, 0.8, 0, 1, 0x1), I(lmitmode, 3, 0, 1, 0x1),
    D(lmiteasytol, 1, 0, 1, 0x1), D(lmitlargetol, 5, 0, 1, 0x1), U(decscale, 14, 0, 1, 0x1),
    D(dectol, 1e-15, 0, 1, 0x1), I(alphasafe, 0), D(alphasafeJ, 0.01), D(alpha0, 1), D(alpha, 0),
    D(alphamin, 1e-80), D(alphamax, 1e+80), D(lvbias_min, 1e-16), D(lvbias_max, 1e-14),
    D(resolTolerance, 1e-16), U(nsweeps, 3), D(tolObjAbs, 1e-12), D(tolObjRel, 1e-15),
    D(objLimit, 0), D(tolLimRel, -1), D(tolCheckFunc, 1e-14), D(tolCheckGrad, 0.0001),
    D(tolCheckHess, 0.01), D(tolGradAbs, 1e-09), D(tolGradRel, 1e-24), D(tolStepAbs, -1),
    D(tolStepRel, -1), D(tolEnhAbs, -1), D(tolEnhRel, -1), D(regshift, 0), D(normalregshift, 0),
    D(regshiftrel, 1e-14), D(normalregshiftrel, 0), D(lsrninvtol, 1e-15), L(lsrnbatchsz, 1000),
    D(lsrnovs, 2), D(cgprecond, 0), D(cgtol, 1e-15), D(cgtolre, 1e-07), L(cgmaxit, 10000),
    L(itctrl_histlen, 32), D(itctrl_slowtol, 0.0001), D(itctrl_cycletol, 0.9),
    D(itctrl_estalpha, 0.9), L(cghc_dimk, 15), L(cghc_maxit, 500), L(cghc_relax, 15),
    D(cghc_orthtol, 1e-05), D(cghc_evtol, 1e-12), D(cghc_skipreltol, 0.1), U(precondZero, 0),
    D(evprecond1, 1), D(evprecond2, 0), D(evtol, 0.001), D(evmaxit, 27), D(evn, 5), D(evmin, 0),
    I(fullMinEV, 0), I(fullMaxEV, 0), D(negshiftsafefactor, 10), D(minshiftsc, 1e-08),
    D(minshiftabs, 0.002), D(shiftGain0, 0.95), D(shiftGain1, 1.32), D(shiftGain2, 1.73),
    D(shiftGain3, 3), D(shiftGain4, 3.2), D(sicbp0, 24), D(sicbp1, 12), D(sicbp2, 8), D(sicbn0, 42),
    D(sicbn1, 52), D(sicbn2, 62), U(ussum, 1), U(enableSigIntHandler, 0),
    U(enableSigUSR1Handler, 1), U(enableSigUSR2Handler, 1), U(enableErrorHandler, 1),
    U(enableExit, 1), U(enableFloatExcept, 1), U(enableStopFile, 0), U(enableResume, 0),
    U(enableFallback, 0), U(sdirs, 8),
};
#undef ROW
#undef L
#undef I
#undef U
#undef D

template <class T>
T& fieldAt(Opts& o, std::size_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(static_cast<OptsStruct*>(&o)) + offset);
}

// The slot must have the expected type and point at the expected field; a
// set through it must land in that field and read back through get().
template <class T>
void checkSlot(Opts& o, const Expected& e, double v, T stored) {
  SCOPED_TRACE(e.name);
  auto* slot = dynamic_cast<VariantPtr<T>*>(o.registry.at(e.name));
  ASSERT_NE(slot, nullptr) << "wrong slot type";
  T& field = fieldAt<T>(o, e.offset);
  EXPECT_EQ(slot->field, &field);
  slot->set(v);
  EXPECT_EQ(field, stored);
  EXPECT_EQ(slot->get(), static_cast<double>(stored));
}

TEST(Opts, EveryRowOfTheOptionTable) {
  Opts o;
  ASSERT_EQ(std::size(kOptions), 106u);
  ASSERT_EQ(o.registry.size(), 106u);
  for (const Expected& e : kOptions) {
    SCOPED_TRACE(e.name);
    ASSERT_EQ(o.registry.count(e.name), 1u);
    const VariantPtrBase* slot = o.registry.at(e.name);
    EXPECT_EQ(slot->get(), e.def);
    EXPECT_EQ(slot->min, e.min);
    EXPECT_EQ(slot->max, e.max);
    EXPECT_EQ(slot->flags, e.flags);
    // The process-wide block starts from the same defaults.
    EXPECT_EQ(opts.registry.at(e.name)->get(), e.def);
  }
  // The unnamed fields: defaults only, no registry entry; the mask
  // expansion starts empty.
  for (const char* unnamed : {"trace", "aux0", "auxScale", "stepScanMax", "auxFlag",
                              "dumpCheckErrors"})
    EXPECT_EQ(o.registry.count(unnamed), 0u) << unnamed;
  EXPECT_EQ(o.aux0 | o.aux1 | o.aux2 | o.aux3, 0);
  EXPECT_EQ(o.auxScale, 0.0);
  EXPECT_EQ(o.stepScanMax, 1000.0);
  EXPECT_EQ(o.auxFlag, 1);
  EXPECT_EQ(o.dumpCheckErrors, 1u);
  EXPECT_EQ(o.trace, 0u);
  EXPECT_TRUE(o.searchDirs.empty());
}

TEST(Opts, EveryOptionSetsAndGetsItsOwnField) {
  Opts o;
  for (const Expected& e : kOptions) {
    switch (e.kind) {
      case Kind::Long: checkSlot<long>(o, e, -123456789012.9, -123456789012L); break;
      case Kind::Int: checkSlot<int>(o, e, 2.7, 2); break;
      case Kind::UInt: checkSlot<unsigned int>(o, e, 77.5, 77u); break;
      case Kind::Double: checkSlot<double>(o, e, 0.125, 0.125); break;
    }
  }
  // Each option reaches a field of its own: after setting each to a distinct
  // value, every one still reads its own.
  double v = 1;
  for (const Expected& e : kOptions) o.registry.at(e.name)->set(v++);
  v = 1;
  for (const Expected& e : kOptions) EXPECT_EQ(o.registry.at(e.name)->get(), v++) << e.name;
}

TEST(Opts, OverridesAreConvertedAndStoredUnchecked) {
  Opts o(Overrides{{"cgmode", 7.9}, {"c1", 0.5}, {"maxit", -1}, {"Maxit", 5},
                   {"trace", 3.9}, {"cgtol", 1e-10}, {"lsrnbatchsz", 2.5e9},
                   {"noSuchOption", 1}});
  EXPECT_EQ(o.cgmode, 7);  // range 0 .. 4 not enforced
  EXPECT_EQ(o.c1, 0.5);    // read-only is descriptive only
  EXPECT_EQ(o.maxit, 4294967295u);
  EXPECT_EQ(o.registry.at("maxit")->get(), 4294967295.0);
  EXPECT_EQ(o.trace, 3u);
  EXPECT_EQ(o.cgtol, 1e-10);
  EXPECT_EQ(o.lsrnbatchsz, 2500000000L);
  EXPECT_EQ(o.registry.size(), 106u);
  EXPECT_EQ(o.registry.count("noSuchOption"), 0u);

  EXPECT_EQ(Opts(Overrides{{"cgmode", -0.5}}).cgmode, 0);
  EXPECT_EQ(Opts(Overrides{{"trace", -1}}).trace, 4294967295u);
}

TEST(Opts, SearchDirMask) {
  Opts o13(Overrides{{"sdirs", 13}});
  EXPECT_EQ(o13.searchDirs,
            (std::vector<SearchDir>{SearchDir::SD0, SearchDir::SD2, SearchDir::SD3}));
  EXPECT_TRUE(Opts(Overrides{{"sdirs", 64}}).searchDirs.empty());
  EXPECT_EQ(Opts(Overrides{{"sdirs", -1}}).searchDirs.size(), 6u);
  // No usable mask: nothing changes.
  Opts nan(Overrides{{"sdirs", kNaN}});
  EXPECT_EQ(nan.sdirs, 8u);
  EXPECT_TRUE(nan.searchDirs.empty());
}

TEST(Opts, ConversionsSaturateInsteadOfOverflowing) {
  // NaN leaves an integer option at its default, a double takes it as is;
  // infinities and huge values clamp to the field's range.
  Opts o(Overrides{{"cgmode", kNaN}, {"cgmaxit", kNaN}, {"cgtol", kNaN}, {"lsmaxit", kInf},
                   {"wolcheck", -kInf}, {"nsweeps", kInf}, {"ussum", -kInf}, {"dump", 5e9},
                   {"cghc_relax", -1e300}});
  EXPECT_EQ(o.cgmode, 4);
  EXPECT_EQ(o.cgmaxit, 10000);
  EXPECT_TRUE(std::isnan(o.cgtol));
  EXPECT_EQ(o.lsmaxit, std::numeric_limits<int>::max());
  EXPECT_EQ(o.wolcheck, std::numeric_limits<int>::min());
  EXPECT_EQ(o.nsweeps, 4294967295u);
  EXPECT_EQ(o.ussum, 0u);
  EXPECT_EQ(o.dump, 4294967295u);
  EXPECT_EQ(o.cghc_relax, std::numeric_limits<long>::min());

  // Unsigned fields keep the documented wrap of negative values.
  unsigned int u = 0;
  VariantPtr<unsigned int> su(0, 0, 0, &u);
  for (auto [in, out] : {std::pair{-1.0, 4294967295u}, {-2147483648.0, 2147483648u},
                         {4294967296.0, 4294967295u}, {12.9, 12u}}) {
    su.set(in);
    EXPECT_EQ(u, out) << in;
  }
  long l = 0;
  VariantPtr<long> sl(0, 0, 0, &l);
  sl.set(9.3e18);
  EXPECT_EQ(l, std::numeric_limits<long>::max());
  int i = 5;
  VariantPtr<int> si(0, 0, 0, &i);
  si.set(-2.7);
  EXPECT_EQ(i, -2);
}

TEST(Opts, AssignValuesKeepsTheTargetRegistry) {
  Opts source(Overrides{{"cgtol", 1e-3}, {"sdirs", 5}, {"cgmode", 1}});
  OptsTrovik target;
  const auto registryBefore = target.registry;
  target.assignValues(source);
  EXPECT_EQ(target.cgtol, 1e-3);
  EXPECT_EQ(target.cgmode, 1);
  EXPECT_EQ(target.searchDirs, (std::vector<SearchDir>{SearchDir::SD0, SearchDir::SD2}));
  EXPECT_EQ(target.registry, registryBefore);
  // The target's slots still reach the target, not the source.
  target.registry.at("cgtol")->set(0.25);
  EXPECT_EQ(target.cgtol, 0.25);
  EXPECT_EQ(source.cgtol, 1e-3);

  // Reloading replaces every slot and leaves the count at 106.
  target.loadoptions(Overrides{{"cgmode", 2}});
  EXPECT_EQ(target.cgmode, 2);
  EXPECT_EQ(target.cgtol, 0.25);  // loaded over the current values
  EXPECT_EQ(target.registry.size(), 106u);
}

// A decomposition built without a choice of checks follows "checkdecomp" of
// the process-wide block, read at construction; a choice of its own wins.
TEST(Opts, DecompositionsBuiltWithoutAChoiceFollowCheckdecomp) {
  using Matrix = MatrixTemplate<double>;
  const Matrix a(3, 3, std::valarray<double>{4, 1, 0.5, 1, 3, 0.25, 0.5, 0.25, 2});
  const Matrix b(3, 3, std::valarray<double>{2, 0.5, 0, 0.5, 2, 0.5, 0, 0.5, 2});
  // The sum of the three error members: 0 unless the checks ran.
  const auto sum = [](const auto& d) { return d.relErrDecomp + d.relErrRecon + d.relErrUnitary; };
  const std::pair<const char*, std::function<double(std::optional<DecompChecks>)>> kinds[] = {
      {"svd", [&](auto c) { return sum(c ? DecomposedGeneralMatrix(a, SvdShape::thin, *c)
                                         : DecomposedGeneralMatrix(a, SvdShape::thin)); }},
      {"syevd", [&](auto c) { return sum(c ? DecomposedSymMatrix_syevd(a, *c)
                                           : DecomposedSymMatrix_syevd(a)); }},
      {"sygvd", [&](auto c) { return sum(c ? DecomposedSymMatrixB_sygvd(a, b, *c)
                                           : DecomposedSymMatrixB_sygvd(a, b)); }},
      {"qr", [&](auto c) { return sum(c ? LapQRDecomposed(a, *c) : LapQRDecomposed(a)); }},
  };
  struct Case {
    int checkdecomp;
    std::optional<DecompChecks> choice;
    bool checked;
  };
  const Case cases[] = {
      {0, std::nullopt, false},
      {1, std::nullopt, true},
      {1, DecompChecks::off, false},
      {0, DecompChecks::on, true},
  };
  const int saved = opts.checkdecomp;
  testing::internal::CaptureStderr();  // the QR's trace lines
  for (const auto& [name, errorSum] : kinds) {
    for (const Case& c : cases) {
      opts.checkdecomp = c.checkdecomp;
      EXPECT_EQ(errorSum(c.choice) > 0.0, c.checked)
          << name << " checkdecomp " << c.checkdecomp << " choice "
          << (c.choice ? static_cast<int>(*c.choice) : -1);
    }
  }
  testing::internal::GetCapturedStderr();
  opts.checkdecomp = saved;
}

}  // namespace
