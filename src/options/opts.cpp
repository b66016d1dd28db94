#include "options/opts.h"

#include <cmath>
#include <memory>

OptsDefaults::OptsDefaults() noexcept {
  aux0 = aux1 = aux2 = aux3 = 0;
  auxScale = 0;
  stepScanMax = 1000;
  maxit = 10000;
  maxrt = 86400;
  saveEvery = 1;
  saveLast = 1;
  auxFlag = 1;
  cgmode = 4;
  cgbetalim = 0;
  cgbeta = 0.7;
  cgrec = 0;
  cgreset = 0;
  cgnormalshift = 0;
  c1 = 0.0001;
  c2 = 0.9;
  wolcheck = 1;
  lstype = 1;
  lsmaxit = 7;
  invpitlins = 2;
  minvrelshift = 1e-14;
  checkgradient = 0;
  checkHessian = 0;
  checkdecomp = 0;
  trace = 0;
  dump = 0;
  lmdmode = 1;
  lmsigma = 0.8;
  lmitmode = 3;
  lmiteasytol = 1;
  lmitlargetol = 5;
  decscale = 14;
  dectol = 1e-15;
  alphasafe = 0;
  alphasafeJ = 0.01;
  alpha0 = 1;
  alpha = 0;
  alphamin = 1e-80;
  alphamax = 1e+80;
  lvbias_min = 1e-16;
  lvbias_max = 1e-14;
  resolTolerance = 1e-16;
  nsweeps = 3;
  dumpCheckErrors = 1;
  tolObjAbs = 1e-12;
  tolObjRel = 1e-15;
  objLimit = 0;
  tolLimRel = -1;
  tolCheckFunc = 1e-14;
  tolCheckGrad = 0.0001;
  tolCheckHess = 0.01;
  tolGradAbs = 1e-09;
  tolGradRel = 1e-24;
  tolStepAbs = -1;
  tolStepRel = -1;
  tolEnhAbs = -1;
  tolEnhRel = -1;
  regshift = 0;
  normalregshift = 0;
  regshiftrel = 1e-14;
  normalregshiftrel = 0;
  lsrninvtol = 1e-15;
  lsrnbatchsz = 1000;
  lsrnovs = 2;
  cgprecond = 0;
  cgtol = 1e-15;
  cgtolre = 1e-07;
  cgmaxit = 10000;
  itctrl_histlen = 32;
  itctrl_slowtol = 0.0001;
  itctrl_cycletol = 0.9;
  itctrl_estalpha = 0.9;
  cghc_dimk = 15;
  cghc_maxit = 500;
  cghc_relax = 15;
  cghc_orthtol = 1e-05;
  cghc_evtol = 1e-12;
  cghc_skipreltol = 0.1;
  precondZero = 0;
  evprecond1 = 1;
  evprecond2 = 0;
  evtol = 0.001;
  evmaxit = 27;
  evn = 5;
  evmin = 0;
  fullMinEV = 0;
  fullMaxEV = 0;
  negshiftsafefactor = 10;
  minshiftsc = 1e-08;
  minshiftabs = 0.002;
  shiftGain0 = 0.95;
  shiftGain1 = 1.32;
  shiftGain2 = 1.73;
  shiftGain3 = 3;
  shiftGain4 = 3.2;
  sicbp0 = 24;
  sicbp1 = 12;
  sicbp2 = 8;
  sicbn0 = 42;
  sicbn1 = 52;
  sicbn2 = 62;
  ussum = 1;
  enableSigIntHandler = 0;
  enableSigUSR1Handler = 1;
  enableSigUSR2Handler = 1;
  enableErrorHandler = 1;
  enableExit = 1;
  enableFloatExcept = 1;
  enableStopFile = 0;
  enableResume = 0;
  enableFallback = 0;
  sdirs = 8;
}

Opts::Opts() : Opts(std::map<std::string, double>{}) {}

Opts::Opts(const std::map<std::string, double>& overrides) {
  try {
    loadoptions(overrides);
  } catch (...) {
    // The destructor does not run for a half-built object.
    releaseSlots();
    throw;
  }
}

Opts::~Opts() { releaseSlots(); }

void Opts::releaseSlots() noexcept {
  for (auto& entry : registry) delete entry.second;
  registry.clear();
}

void Opts::assignValues(const Opts& other) {
  if (this == &other) return;
  static_cast<OptsStruct&>(*this) = other;
  searchDirs = other.searchDirs;
}

template <class T>
void Opts::bind(const std::map<std::string, double>& overrides, const char* name,
                T& field, double min, double max, std::uint64_t flags) {
  auto slot = std::make_unique<VariantPtr<T>>(min, max, flags, &field);
  if (auto it = overrides.find(name); it != overrides.end()) slot->set(it->second);
  auto [pos, inserted] = registry.try_emplace(name, nullptr);
  // A second loadoptions replaces the slot; the old one would otherwise leak.
  delete pos->second;
  pos->second = slot.release();
}

void Opts::loadoptions(const std::map<std::string, double>& overrides) {
  if (auto it = overrides.find("trace"); it != overrides.end())
    trace = option_cast<unsigned int>(it->second, trace);

  // A NaN mask carries no kinds: it leaves both the field and the list alone.
  if (auto it = overrides.find("sdirs"); it != overrides.end() && !std::isnan(it->second)) {
    sdirs = option_cast<unsigned int>(it->second, sdirs);
    // Bit 6 (SD6) and above are kept in the field but are not kinds the
    // drivers take from the mask.
    searchDirs = maskToFlags<SearchDir>(sdirs & 0x3fu);
  }

  // Registration order is fixed; registry keys keep their own sorted order.
#define OPTION(field, ...) bind(overrides, #field, field __VA_OPT__(, ) __VA_ARGS__)
  OPTION(tolObjAbs);
  OPTION(tolObjRel);
  OPTION(dump, 0, 16777215, OptFlag::BitMask);
  OPTION(c1, 0, 1, OptFlag::ReadOnly);
  OPTION(c2, 0, 1, OptFlag::ReadOnly);
  OPTION(cgbetalim, 0, 1, OptFlag::Switch);
  OPTION(cgmode, 0, 4, OptFlag::Mode);
  OPTION(cgreset, 0, 1000, OptFlag::Count);
  OPTION(cgrec, 0, 1000, OptFlag::Count);
  OPTION(cgbeta);
  OPTION(cgnormalshift);
  OPTION(saveEvery, 0, 1000, OptFlag::Count);
  OPTION(saveLast, 0, 1000, OptFlag::Switch);
  OPTION(objLimit);
  OPTION(tolLimRel);
  OPTION(tolGradAbs);
  OPTION(tolGradRel);
  OPTION(tolCheckFunc);
  OPTION(tolCheckGrad);
  OPTION(tolCheckHess);
  OPTION(tolEnhAbs);
  OPTION(tolEnhRel);
  OPTION(tolStepAbs);
  OPTION(tolStepRel);
  OPTION(wolcheck);
  OPTION(lstype);
  OPTION(lsmaxit);
  OPTION(invpitlins);
  OPTION(minvrelshift);
  OPTION(checkgradient, 0, 1, OptFlag::Switch);
  OPTION(checkHessian, 0, 1, OptFlag::Switch);
  OPTION(checkdecomp, 0, 1, OptFlag::Switch);
  OPTION(maxit);
  OPTION(maxrt);
  OPTION(lmdmode, 0, 1, OptFlag::ReadOnly);
  OPTION(lmsigma, 0, 1, OptFlag::ReadOnly);
  OPTION(lmitmode, 0, 1, OptFlag::ReadOnly);
  OPTION(lmiteasytol, 0, 1, OptFlag::ReadOnly);
  OPTION(lmitlargetol, 0, 1, OptFlag::ReadOnly);
  OPTION(decscale, 0, 1, OptFlag::ReadOnly);
  OPTION(dectol, 0, 1, OptFlag::ReadOnly);
  OPTION(alpha);
  OPTION(alphasafe);
  OPTION(alphasafeJ);
  OPTION(alpha0);
  OPTION(alphamin);
  OPTION(alphamax);
  OPTION(nsweeps);
  OPTION(lvbias_min);
  OPTION(lvbias_max);
  OPTION(resolTolerance);
  OPTION(regshift);
  OPTION(normalregshift);
  OPTION(regshiftrel);
  OPTION(normalregshiftrel);
  OPTION(lsrninvtol);
  OPTION(lsrnbatchsz);
  OPTION(lsrnovs);
  OPTION(cgprecond);
  OPTION(cgtol);
  OPTION(cgtolre);
  OPTION(cgmaxit);
  OPTION(itctrl_histlen);
  OPTION(itctrl_slowtol);
  OPTION(itctrl_cycletol);
  OPTION(itctrl_estalpha);
  OPTION(cghc_dimk);
  OPTION(cghc_maxit);
  OPTION(cghc_relax);
  OPTION(cghc_orthtol);
  OPTION(cghc_evtol);
  OPTION(cghc_skipreltol);
  OPTION(precondZero);
  OPTION(evprecond1);
  OPTION(evprecond2);
  OPTION(evtol);
  OPTION(evmaxit);
  OPTION(evn);
  OPTION(evmin);
  OPTION(fullMinEV);
  OPTION(fullMaxEV);
  OPTION(negshiftsafefactor);
  OPTION(minshiftsc);
  OPTION(minshiftabs);
  OPTION(shiftGain0);
  OPTION(shiftGain1);
  OPTION(shiftGain2);
  OPTION(shiftGain3);
  OPTION(shiftGain4);
  OPTION(sicbp0);
  OPTION(sicbp1);
  OPTION(sicbp2);
  OPTION(sicbn0);
  OPTION(sicbn1);
  OPTION(sicbn2);
  OPTION(ussum);
  OPTION(enableSigIntHandler);
  OPTION(enableStopFile);
  OPTION(enableResume);
  OPTION(enableExit);
  OPTION(enableErrorHandler);
  OPTION(enableFallback);
  OPTION(enableSigUSR1Handler);
  OPTION(enableSigUSR2Handler);
  OPTION(enableFloatExcept);
  OPTION(sdirs);
#undef OPTION
}
