#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <string>

#include <gtest/gtest.h>

#include "options/opts.h"

namespace {

using Overrides = std::map<std::string, double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every registered option with the field it must reach and its type, kept
// independently of the library's own list.
enum class Kind { Long, Int, UInt, Double };
struct Expected {
  const char* name;
  std::size_t offset;
  Kind kind;
};
#define L(f) {#f, offsetof(OptsStruct, f), Kind::Long}
#define I(f) {#f, offsetof(OptsStruct, f), Kind::Int}
#define U(f) {#f, offsetof(OptsStruct, f), Kind::UInt}
#define D(f) {#f, offsetof(OptsStruct, f), Kind::Double}
const Expected kOptions[] = {
    U(maxit), D(maxrt), U(saveEvery), U(saveLast), I(cgmode), I(cgbetalim), D(cgbeta),
    I(cgrec), I(cgreset), D(cgnormalshift), D(c1), D(c2), I(wolcheck), I(lstype),
    I(lsmaxit), I(invpitlins), D(minvrelshift), I(checkgradient), I(checkHessian),
    I(checkdecomp), U(dump), D(lmdmode), D(lmsigma), I(lmitmode), D(lmiteasytol),
    D(lmitlargetol), U(decscale), D(dectol), I(alphasafe), D(alphasafeJ), D(alpha0),
    D(alpha), D(alphamin), D(alphamax), D(lvbias_min), D(lvbias_max), D(resolTolerance),
    U(nsweeps), D(tolObjAbs), D(tolObjRel), D(objLimit), D(tolLimRel), D(tolCheckFunc),
    D(tolCheckGrad), D(tolCheckHess), D(tolGradAbs), D(tolGradRel), D(tolStepAbs),
    D(tolStepRel), D(tolEnhAbs), D(tolEnhRel), D(regshift), D(normalregshift),
    D(regshiftrel), D(normalregshiftrel), D(lsrninvtol), L(lsrnbatchsz), D(lsrnovs),
    D(cgprecond), D(cgtol), D(cgtolre), L(cgmaxit), L(itctrl_histlen), D(itctrl_slowtol),
    D(itctrl_cycletol), D(itctrl_estalpha), L(cghc_dimk), L(cghc_maxit), L(cghc_relax),
    D(cghc_orthtol), D(cghc_evtol), D(cghc_skipreltol), U(precondZero), D(evprecond1),
    D(evprecond2), D(evtol), D(evmaxit), D(evn), D(evmin), I(fullMinEV), I(fullMaxEV),
    D(negshiftsafefactor), D(minshiftsc), D(minshiftabs), D(shiftGain0), D(shiftGain1),
    D(shiftGain2), D(shiftGain3), D(shiftGain4), D(sicbp0), D(sicbp1), D(sicbp2),
    D(sicbn0), D(sicbn1), D(sicbn2), U(ussum), U(enableSigIntHandler),
    U(enableSigUSR1Handler), U(enableSigUSR2Handler), U(enableErrorHandler),
    U(enableExit), U(enableFloatExcept), U(enableStopFile), U(enableResume),
    U(enableFallback), U(sdirs),
};
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

TEST(Opts, DefaultsOfTheTable) {
  // A sample of each field type, the unnamed fields and the mask expansion.
  Opts o;
  EXPECT_EQ(o.aux0 | o.aux1 | o.aux2 | o.aux3, 0);
  EXPECT_EQ(o.stepScanMax, 1000.0);
  EXPECT_EQ(o.auxFlag, 1);
  EXPECT_EQ(o.dumpCheckErrors, 1u);
  EXPECT_EQ(o.trace, 0u);
  EXPECT_EQ(o.maxit, 10000u);
  EXPECT_EQ(o.cgmode, 4);
  EXPECT_EQ(o.minvrelshift, 1e-14);
  EXPECT_EQ(o.lsrnbatchsz, 1000);
  EXPECT_EQ(o.evmaxit, 27.0);
  EXPECT_EQ(o.sdirs, 8u);
  EXPECT_TRUE(o.searchDirs.empty());

  // The process-wide block starts from the same defaults.
  ASSERT_EQ(opts.registry.size(), 106u);
  for (const auto& [name, slot] : o.registry)
    EXPECT_EQ(opts.registry.at(name)->get(), slot->get()) << name;
}

TEST(Opts, RegistryNamesRangesAndFlags) {
  Opts o;
  ASSERT_EQ(o.registry.size(), 106u);
  EXPECT_EQ(std::size(kOptions), 106u);
  for (const char* unnamed : {"trace", "aux0", "auxScale", "stepScanMax", "auxFlag",
                              "dumpCheckErrors"})
    EXPECT_EQ(o.registry.count(unnamed), 0u) << unnamed;

  const std::set<std::string> readOnly = {"c1", "c2", "lmdmode", "lmsigma", "lmitmode",
                                          "lmiteasytol", "lmitlargetol", "decscale", "dectol"};
  int readOnlyCount = 0;
  for (const auto& [name, slot] : o.registry) {
    if (slot->flags & OptFlag::ReadOnly) {
      ++readOnlyCount;
      EXPECT_TRUE(readOnly.count(name)) << name;
      EXPECT_EQ(slot->flags, 0x1u) << name;
      EXPECT_EQ(slot->min, 0.0);
      EXPECT_EQ(slot->max, 1.0);
    }
    EXPECT_EQ(slot->flags & OptFlag::NeedsRestart, 0u) << name;
  }
  EXPECT_EQ(readOnlyCount, 9);

  auto described = [&](const char* name, double min, double max, std::uint64_t flags) {
    const VariantPtrBase* s = o.registry.at(name);
    EXPECT_EQ(s->min, min) << name;
    EXPECT_EQ(s->max, max) << name;
    EXPECT_EQ(s->flags, flags) << name;
  };
  described("dump", 0, 16777215, 0x400);
  described("cgmode", 0, 4, 0x300);
  described("saveLast", 0, 1000, 0x100);
  described("maxit", 0, 0, 0);
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

}  // namespace
