#pragma once
// The option block as the library uses it. The block itself (OptsStruct,
// OptsDefaults, Opts) is public, in zelk/option_block.h; here is what only
// the library has:
//
//   OptsTrovik    the least-squares driver's option object; same contents
//   opts          the process-wide block; solvers read its fields directly
//
// A driver builds a fresh Opts from the caller's overrides and copies its
// values into `opts` with assignValues, which leaves the registry of `opts`
// alone.

#include <map>
#include <string>

#include "dense/decomp_checks.h"
#include "options/exported_data.h"
#include "options/search_dir.h"
#include "options/variant_ptr.h"
#include "zelk/option_block.h"

class OptsTrovik : public Opts {
 public:
  OptsTrovik() = default;
  explicit OptsTrovik(const std::map<std::string, double>& overrides)
      : Opts(overrides) {}
  ~OptsTrovik() override = default;
};

// The process-wide option block (globals.cpp).
extern Opts opts ZELK_EXPORTED_DATA;

// The decompositions' self-checks as "checkdecomp" of the process-wide block
// asks for them: what the layers above pass to the decompositions they
// build, and the default of those built without a choice (globals.cpp
// installs it).
inline DecompChecks decompChecks() noexcept {
  return opts.checkdecomp != 0 ? DecompChecks::on : DecompChecks::off;
}
