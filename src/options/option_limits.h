#pragma once
// Option values a driver cannot run with.
//
// The rule: a value is refused only when the driver that will read it
// cannot run with it (it would hang, trap, overflow, or leave the run
// without any step or direction) and nothing gives the value a meaning.
// Every other value is the host's to choose, however unusual: the option
// table's ranges describe options, they are not enforced. A NaN tolerance
// switches its rule off, "maxit" -1 asks for no iteration limit, "wolcheck"
// 5 is the strong test and -1 the plainest one, a negative "alpha" is a
// fixed step backwards, an infinite "objLimit" is a limit no value meets, a
// fixed step whose point overflows is a trial that is not taken, and a
// derivative check fails where its error exceeds the threshold, whatever
// the threshold (below 0 every time, NaN never). A value that nothing reads
// in the run (a curvature constant below the level that tests curvature,
// the line search's constants in a run of fixed steps) is never refused.
//
// What is refused, each for the drivers that read it:
//   - "nsweeps" and "lsmaxit" above 1000: a line search that sweeps or
//     refines billions of times runs for hours;
//   - a NaN or +inf "c1", and a NaN or -inf "c2" where curvature is tested:
//     no trial step can pass the test, so no run ever takes a step;
//   - zelk's "alpha0" other than a finite number above 0: its backtracking
//     only shrinks the first trial step, so no search finds a step;
//   - trovik's "sdirs" naming no kind of direction with "enableFallback" 0.
//
// A value given by the host ends the call before it starts; set through the
// monitor during a run, it is refused before it is stored. The rules read
// the values as the option fields hold them (an unsigned count given as -1
// holds 4294967295). Values given by a host are data: every rule tells NaN
// and the infinities apart by their bits before it compares, so that no
// value can raise a floating-point exception whatever the caller's trap
// mask.

#include <optional>
#include <string>
#include <string_view>

#include "options/opts.h"

// The driver that is to run with a block of options: each rule holds only
// for a driver that reads its option with the block's other values. None:
// no driver runs, and nothing reads the block for one.
enum class OptionReader { None, Minimizer, LeastSquares };

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

// While a driver call loads its options into the process-wide block `opts`
// and runs with them: the load happens under the lock that serialises it
// with changeOptionDuringRun, and the driver is published as the block's
// reader until the object ends. Not copyable.
class RunningOptions {
 public:
  RunningOptions(const Opts& loaded, OptionReader reader);
  ~RunningOptions();
  RunningOptions(const RunningOptions&) = delete;
  RunningOptions& operator=(const RunningOptions&) = delete;
};

// The monitor's change of `slot` to `value`. When the slot is one of `opts`
// and the value (as the slot would store it) brings a value the running
// driver cannot run with that the block did not already hold, nothing is
// stored and the refusal's text comes back; otherwise the value is stored
// and the answer is empty. Between runs nothing reads the block for a
// driver (each call starts from the defaults and its own arrays), so no
// change is refused then.
std::string changeOptionDuringRun(VariantPtrBase& slot, double value);
