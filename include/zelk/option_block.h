// The option block: every tunable number of the library, one typed field per
// option, with a registry that names each registered option and points at
// its field.
//
//   OptsStruct    the fields, a plain copyable record
//   OptsDefaults  the same record holding the built-in defaults
//   Opts          adds the list of search-direction kinds and the registry
//
// A C++ header: zelkcomp_buildopts (zelk/options.h) returns an Opts, so a
// host needs the whole class. The library reads the fields of its own
// process-wide block directly; a host reads those of the block it was given
// (o.cgtol, o.maxit, ...). The kinds in searchDirs are the bit values of
// "sdirs" (1, 2, 4, ..., 32), and the registry's slots are the library's
// own: a host reads the fields instead.

#ifndef ZELK_OPTION_BLOCK_H
#define ZELK_OPTION_BLOCK_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "zelk/relaxed_word.h"

// A kind of search direction, one bit of "sdirs" each.
enum class SearchDir : std::uint32_t;
// A typed slot of the registry.
class VariantPtrBase;

// Field names equal the option names. Fields marked "no name" have no
// registry entry and keep their defaults unless copied from another block.
struct OptsStruct {
  // No name. The drivers report aux0..aux3 as "Jbias", "Jmin", "Jmax" and
  // "Jbest".
  long aux0, aux1, aux2, aux3;
  double auxScale;     // no name
  double stepScanMax;  // no name: upper bound of the minimisation step scan
                       // (the scan runs only while it is > 0)
  unsigned int maxit;
  double maxrt;  // seconds
  unsigned int saveEvery;
  unsigned int saveLast;
  std::uint8_t auxFlag;  // no name
  int cgmode;
  int cgbetalim;
  double cgbeta;
  int cgrec;
  int cgreset;
  double cgnormalshift;
  double c1;  // read-only
  double c2;  // read-only
  int wolcheck;
  int lstype;
  int lsmaxit;
  int invpitlins;
  double minvrelshift;
  int checkgradient;
  int checkHessian;
  int checkdecomp;
  // Bit mask of diagnostics; no registry entry, reached by the override
  // "trace" and zelkcomp_setopt/getopt 0, from any thread while a run reads
  // it: every access is atomic (an unsigned int in the layout).
  RelaxedWord<unsigned int> trace;
  unsigned int dump;
  double lmdmode;       // read-only
  double lmsigma;       // read-only
  int lmitmode;         // read-only
  double lmiteasytol;   // read-only
  double lmitlargetol;  // read-only
  unsigned int decscale;  // read-only
  double dectol;          // read-only
  int alphasafe;
  double alphasafeJ;
  double alpha0;
  double alpha;
  double alphamin;
  double alphamax;
  double lvbias_min;
  double lvbias_max;
  double resolTolerance;
  unsigned int nsweeps;
  // No name: while non-zero, failed derivative checks write their error
  // matrices. The drivers call it dumpOnCheckFailure.
  unsigned int dumpCheckErrors;
  double tolObjAbs;
  double tolObjRel;
  double objLimit;
  double tolLimRel;
  double tolCheckFunc;
  double tolCheckGrad;
  double tolCheckHess;
  double tolGradAbs;
  double tolGradRel;
  double tolStepAbs;
  double tolStepRel;
  double tolEnhAbs;
  double tolEnhRel;
  double regshift;
  double normalregshift;
  double regshiftrel;
  double normalregshiftrel;
  double lsrninvtol;
  long lsrnbatchsz;
  double lsrnovs;
  double cgprecond;
  double cgtol;
  double cgtolre;
  long cgmaxit;
  long itctrl_histlen;
  double itctrl_slowtol;
  double itctrl_cycletol;
  double itctrl_estalpha;
  long cghc_dimk;
  long cghc_maxit;
  long cghc_relax;
  double cghc_orthtol;
  double cghc_evtol;
  double cghc_skipreltol;
  unsigned int precondZero;
  double evprecond1;
  double evprecond2;
  double evtol;
  double evmaxit;
  double evn;
  double evmin;
  int fullMinEV;
  int fullMaxEV;
  double negshiftsafefactor;
  double minshiftsc;
  double minshiftabs;
  double shiftGain0;
  double shiftGain1;
  double shiftGain2;
  double shiftGain3;
  double shiftGain4;
  double sicbp0;
  double sicbp1;
  double sicbp2;
  double sicbn0;
  double sicbn1;
  double sicbn2;
  unsigned int ussum;
  unsigned int enableSigIntHandler;
  unsigned int enableSigUSR1Handler;
  unsigned int enableSigUSR2Handler;
  unsigned int enableErrorHandler;
  unsigned int enableExit;
  unsigned int enableFloatExcept;
  unsigned int enableStopFile;
  unsigned int enableResume;
  unsigned int enableFallback;
  unsigned int sdirs;  // mask of SearchDir kinds
};

static_assert(sizeof(RelaxedWord<unsigned int>) == sizeof(unsigned int),
              "the option block's layout stays as it is");

struct OptsDefaults : OptsStruct {
  OptsDefaults() noexcept;  // every field at its built-in default
};

class Opts : public OptsDefaults {
 public:
  // The kinds of the mask "sdirs", bits 0x1 .. 0x20 in ascending order. Only
  // an override of "sdirs" fills it; fresh defaults leave it empty.
  std::vector<SearchDir> searchDirs;
  // Option name -> slot pointing at the field in this object. Owned.
  std::map<std::string, VariantPtrBase*> registry;

  Opts();
  // The defaults, then loadoptions(overrides).
  explicit Opts(const std::map<std::string, double>& overrides);
  // The registry points into the object itself: copy values with
  // assignValues instead.
  Opts(const Opts&) = delete;
  Opts& operator=(const Opts&) = delete;
  virtual ~Opts();

  // Applies the overrides (exact, case-sensitive names; unknown names are
  // ignored; no range or read-only check) over the current values, and
  // (re)builds the registry.
  void loadoptions(const std::map<std::string, double>& overrides);

  // Copies every option value and the search-direction list of `other`;
  // this object's registry stays as it is and keeps pointing at its fields.
  void assignValues(const Opts& other);

 private:
  template <class T>
  void bind(const std::map<std::string, double>& overrides, const char* name,
            T& field, double min = 0, double max = 0, std::uint64_t flags = 0);
  void releaseSlots() noexcept;
};

#endif
