// The library's process-wide objects. They are defined together, in this
// order, because each depends on the one before: the status registry must
// exist before the run state's fields are entered into it, and at unload the
// entries go before the registry and the run state are destroyed (reverse
// order of definition within one translation unit).

#include "options/global_state.h"
#include "options/opts.h"

Opts opts;
std::map<std::string, VariantPtrBase*> State::g_statelocs;
GlobalState state;

namespace {
StatusRegistration stateRegistration(state, State::g_statelocs);

// A decomposition built without a choice of checks reads "checkdecomp" of
// `opts`, and nothing once `opts` is gone.
struct DecompChecksFromOptions {
  DecompChecksFromOptions() noexcept { installDecompChecksSource(&decompChecks); }
  ~DecompChecksFromOptions() { installDecompChecksSource(nullptr); }
} decompChecksFromOptions;
}  // namespace
