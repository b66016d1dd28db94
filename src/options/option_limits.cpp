#include "options/option_limits.h"

#include <charconv>
#include <iterator>
#include <memory>
#include <mutex>

#include "dense/fp_class.h"

namespace {

bool negative(double v) noexcept { return (opaqueBits(v) >> 63) != 0; }

std::string text(double v) {
  switch (classifyBits(v)) {
    case FpClass::QuietNaN:
    case FpClass::SignallingNaN:
      return "NaN";
    case FpClass::Infinite:
      return negative(v) ? "-inf" : "inf";
    case FpClass::Finite:
      break;
  }
  char buf[32];
  const auto end = std::to_chars(std::begin(buf), std::end(buf), v).ptr;
  return std::string(buf, end);
}

bool isPlusInfinity(double v) noexcept {
  return classifyBits(v) == FpClass::Infinite && !negative(v);
}
bool isMinusInfinity(double v) noexcept {
  return classifyBits(v) == FpClass::Infinite && negative(v);
}

// The line searches repeat a sweep or a refinement trial this many times
// at most: the option table's range of a count. Far more would keep a
// single line search running for hours.
constexpr unsigned kMostRepeats = 1000;

// The direction kinds SD0 .. SD6 of the mask "sdirs".
constexpr unsigned kDirectionKinds = 0x7f;

// Whether the driver reads the rule's option, given the block's other
// values; and the reason the block's value cannot be run with, or nothing.
using Reads = bool (*)(const OptsStruct&, OptionReader);
using Check = std::string (*)(const OptsStruct&);

struct Rule {
  const char* name;
  Reads reads;
  Check check;
};

bool minimizer(OptionReader r) { return r == OptionReader::Minimizer; }
bool leastSquares(OptionReader r) { return r == OptionReader::LeastSquares; }

// A non-zero "alpha" (NaN included) takes fixed steps: no line search runs,
// and neither do the fallback kinds' searches.
bool lineSearches(const OptsStruct& o) {
  return classifyBits(o.alpha) == FpClass::Finite && o.alpha == 0.0;
}

std::string tooManyRepeats(long long count, const char* what) {
  if (count <= static_cast<long long>(kMostRepeats)) return {};
  return std::to_string(count) + " " + what +
         " in every line search would run for hours; at most " + std::to_string(kMostRepeats);
}

// A value is refused only when the driver that reads it, with the block's
// other values, cannot run with it and nothing gives it a meaning (the
// rule, and what it leaves accepted: option_limits.h).
const Rule kRules[] = {
    // zelk's line search sweeps; trovik's sorted one ("lstype" 1) refines
    // "nsweeps" times, its other one "lsmaxit" times.
    {"nsweeps",
     [](const OptsStruct& o, OptionReader r) {
       return lineSearches(o) && (minimizer(r) || (leastSquares(r) && o.lstype == 1));
     },
     [](const OptsStruct& o) { return tooManyRepeats(o.nsweeps, "sweeps"); }},
    {"lsmaxit",
     [](const OptsStruct& o, OptionReader r) {
       return leastSquares(r) && lineSearches(o) && o.lstype != 1;
     },
     [](const OptsStruct& o) { return tooManyRepeats(o.lsmaxit, "refinement trials"); }},
    // zelk tests sufficient decrease at every level, trovik from level 1.
    {"c1",
     [](const OptsStruct& o, OptionReader r) {
       return lineSearches(o) && (minimizer(r) || (leastSquares(r) && o.wolcheck >= 1));
     },
     [](const OptsStruct& o) -> std::string {
       if (isNaNBits(o.c1) || isPlusInfinity(o.c1))
         return "no step can pass the sufficient-decrease test with it (f(a) < f(0) + a c1 "
                "f'(0)), so no search would ever find one";
       return {};
     }},
    // Curvature is tested from level 2 in both drivers.
    {"c2",
     [](const OptsStruct& o, OptionReader r) {
       return r != OptionReader::None && lineSearches(o) && o.wolcheck >= 2;
     },
     [](const OptsStruct& o) -> std::string {
       if (isNaNBits(o.c2) || isMinusInfinity(o.c2))
         return "no step can pass the curvature test with it (f'(a) >= c2 f'(0)) at \"wolcheck\" " +
                std::to_string(o.wolcheck) + ", so no search would ever find one";
       return {};
     }},
    {"alpha0",
     [](const OptsStruct& o, OptionReader r) { return minimizer(r) && lineSearches(o); },
     [](const OptsStruct& o) -> std::string {
       if (!isFiniteBits(o.alpha0) || o.alpha0 <= 0.0)
         return "the backtracking only shrinks its first trial step, which must be a finite "
                "number above 0 for any search to find a step";
       return {};
     }},
    {"sdirs", [](const OptsStruct&, OptionReader r) { return leastSquares(r); },
     [](const OptsStruct& o) -> std::string {
       if ((o.sdirs & kDirectionKinds) != 0 || o.enableFallback != 0) return {};
       return "\"sdirs\" " + std::to_string(o.sdirs) +
              " names no kind of direction (bits 1 for SD0 to 64 for SD6), and with "
              "\"enableFallback\" 0 the run has none";
     }},
};

// The reason `rule` refuses `block` for `reader`, or nothing.
std::string refusal(const Rule& rule, const OptsStruct& block, OptionReader reader) {
  return rule.reads(block, reader) ? rule.check(block) : std::string();
}

// Serialises a driver's load of the block (and its publication as the
// block's reader) with the monitor's checked changes.
std::mutex& changeMutex() {
  static std::mutex m;
  return m;
}
OptionReader runningReader = OptionReader::None;  // under changeMutex

// The registered values of `opts`, read the way slots read them, in a
// block of its own. Reads only what the monitor and the driver's load
// write (under changeMutex); the trace word and the list of kinds, which
// others may touch, are left alone.
std::unique_ptr<Opts> copyOfRunningBlock() {
  auto copy = std::make_unique<Opts>();
  for (const auto& [name, slot] : opts.registry) copy->registry.at(name)->set(slot->get());
  return copy;
}

}  // namespace

std::optional<UnusableOption> unusableOption(const OptsStruct& block, OptionReader reader) {
  for (const Rule& rule : kRules)
    if (std::string reason = refusal(rule, block, reader); !reason.empty())
      return UnusableOption{rule.name, std::move(reason)};
  return std::nullopt;
}

std::string refusedOptionText(std::string_view name, double value, std::string_view reason) {
  std::string out = "option \"";
  out.append(name).append("\" = ").append(text(value)).append(" refused: ").append(reason);
  return out;
}

RunningOptions::RunningOptions(const Opts& loaded, OptionReader reader) {
  const std::lock_guard<std::mutex> lock(changeMutex());
  opts.assignValues(loaded);
  runningReader = reader;
}

RunningOptions::~RunningOptions() {
  const std::lock_guard<std::mutex> lock(changeMutex());
  runningReader = OptionReader::None;
}

std::string changeOptionDuringRun(VariantPtrBase& slot, double value) {
  const std::lock_guard<std::mutex> lock(changeMutex());
  const std::string* name = nullptr;
  for (const auto& [key, entry] : opts.registry)
    if (entry == &slot) name = &key;
  if (name != nullptr && runningReader != OptionReader::None) {
    const std::unique_ptr<Opts> current = copyOfRunningBlock();
    const std::unique_ptr<Opts> candidate = copyOfRunningBlock();
    candidate->registry.at(*name)->set(value);
    for (const Rule& rule : kRules) {
      std::string reason = refusal(rule, *candidate, runningReader);
      if (!reason.empty() && refusal(rule, *current, runningReader).empty())
        return refusedOptionText(*name, value, reason);
    }
  }
  slot.set(value);
  return {};
}
