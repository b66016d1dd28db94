#pragma once
// Option values the drivers cannot run with.
//
// The option table's ranges describe options; they are not enforced, and
// most values outside them are ones a method copes with (a NaN tolerance
// switches its rule off, "maxit" -1 asks for no iteration limit). A few
// values leave a driver nothing sound to do: a line search told to sweep
// billions of times, a line-search constant outside the interval where its
// test means anything, a NaN where a step length is computed with, a
// direction mask that names no kind of direction. Such a value given by
// the host ends the call before it starts; set through the monitor during
// a run, it is refused before it is stored. Both go through the rules
// here, which read the values as the option fields hold them (an unsigned
// count given as -1 holds 4294967295).
//
// Values given by a host are data: every rule tells NaN and the infinities
// apart by their bits before it compares, so that no value can raise a
// floating-point exception whatever the caller's trap mask.

#include <optional>
#include <string>
#include <string_view>

#include "options/opts.h"

// Which driver is to run with a block of options. Each rule holds for the
// drivers that read its option.
enum class OptionReader : unsigned { Minimizer = 1, LeastSquares = 2, Any = 3 };

struct UnusableOption {
  const char* name;    // the option whose value cannot be run with
  std::string reason;  // why, with the value as the field holds it
};

// The first option of `block` that `reader` cannot run with, in a fixed
// order of the rules; none when every value is usable.
std::optional<UnusableOption> unusableOption(const OptsStruct& block, OptionReader reader);

// "option \"<name>\" = <value> refused: <reason>", the value written
// without a floating-point operation ("NaN", "inf", "-inf" or the shortest
// decimal that reads back as it).
std::string refusedOptionText(std::string_view name, double value, std::string_view reason);

// A change through `slot` to `value` while a run goes on: when the slot is
// one of the process-wide block `opts`, and the value (as the slot would
// store it) brings a value no driver can run with that the block did not
// already hold, the refusal's text; otherwise empty. Reads `opts`: callers
// serialise it with the slot writes.
std::string refusedOptionChange(const VariantPtrBase& slot, double value);
