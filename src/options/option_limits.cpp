#include "options/option_limits.h"

#include <charconv>
#include <iterator>
#include <memory>

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

// The line searches repeat a sweep or a refinement trial this many times
// at most: the option table's range of a count. Far more would keep a
// single line search running for hours.
constexpr unsigned kMostRepeats = 1000;

// The direction kinds SD0 .. SD6 of the mask "sdirs".
constexpr unsigned kDirectionKinds = 0x7f;

// Each check gives the reason the block's value cannot be run with, or
// nothing.
using Check = std::string (*)(const OptsStruct&);

struct Rule {
  const char* name;
  OptionReader readers;
  Check check;
};

std::string tooManyRepeats(long long count, const char* what) {
  if (count <= static_cast<long long>(kMostRepeats)) return {};
  return std::to_string(count) + " " + what +
         " in every line search would run for hours; at most " + std::to_string(kMostRepeats);
}

// Values are compared only when not NaN: an ordered comparison with a NaN
// raises the invalid-operation exception.
std::string checkThreshold(double tol) {
  if (isNaNBits(tol) || tol < 0.0)
    return "a check passes only below its threshold, which must be a number of at least 0 "
           "(\"checkgradient\" -1 switches the checks off)";
  return {};
}

const Rule kRules[] = {
    {"nsweeps", OptionReader::Any,
     [](const OptsStruct& o) { return tooManyRepeats(o.nsweeps, "sweeps"); }},
    {"lsmaxit", OptionReader::LeastSquares,
     [](const OptsStruct& o) { return tooManyRepeats(o.lsmaxit, "refinement trials"); }},
    {"c1", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       if (!isFiniteBits(o.c1) || o.c1 < 0.0 || o.c1 >= 1.0)
         return "the sufficient-decrease constant must be a number in [0, 1)";
       return {};
     }},
    {"c2", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       if (isNaNBits(o.c2) || o.c2 <= 0.0) return "the curvature constant must be a number above 0";
       return {};
     }},
    {"wolcheck", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       if (o.wolcheck < 0 || o.wolcheck > 3)
         return "the Wolfe test levels are 0 (none) to 3 (strong Wolfe conditions)";
       return {};
     }},
    {"alpha0", OptionReader::Minimizer,
     [](const OptsStruct& o) -> std::string {
       if (!isFiniteBits(o.alpha0) || o.alpha0 <= 0.0)
         return "the first trial step must be a finite number above 0";
       return {};
     }},
    {"alphamin", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       if (isNaNBits(o.alphamin) || o.alphamin >= 0.5)
         return "the smallest step length must be a number below 0.5";
       return {};
     }},
    {"alpha", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       // No trial step of a line search is longer than alphamax (a NaN
       // alphamax bounds nothing); a fixed step may not be either.
       const bool finite = isFiniteBits(o.alpha);
       if (!finite || o.alpha < 0.0 ||
           (o.alpha != 0.0 && !isNaNBits(o.alphamax) && o.alpha > o.alphamax))
         return "the fixed step must be 0 (line searches) or a finite number above 0 and at most "
                "\"alphamax\" (" +
                text(o.alphamax) + ")";
       return {};
     }},
    {"sdirs", OptionReader::LeastSquares,
     [](const OptsStruct& o) -> std::string {
       if ((o.sdirs & kDirectionKinds) != 0 || o.enableFallback != 0) return {};
       return "\"sdirs\" " + std::to_string(o.sdirs) +
              " names no kind of direction (bits 1 for SD0 to 64 for SD6), and with "
              "\"enableFallback\" 0 the run has none";
     }},
    {"tolCheckFunc", OptionReader::Any,
     [](const OptsStruct& o) { return checkThreshold(o.tolCheckFunc); }},
    {"tolCheckGrad", OptionReader::Any,
     [](const OptsStruct& o) { return checkThreshold(o.tolCheckGrad); }},
    {"tolCheckHess", OptionReader::Minimizer,
     [](const OptsStruct& o) { return checkThreshold(o.tolCheckHess); }},
    {"objLimit", OptionReader::Any,
     [](const OptsStruct& o) -> std::string {
       if (classifyBits(o.objLimit) == FpClass::Infinite)
         return "the objective limit must be finite (NaN switches its rules off)";
       return {};
     }},
};

bool reads(const Rule& rule, OptionReader reader) {
  return (static_cast<unsigned>(rule.readers) & static_cast<unsigned>(reader)) != 0;
}

}  // namespace

std::optional<UnusableOption> unusableOption(const OptsStruct& block, OptionReader reader) {
  for (const Rule& rule : kRules) {
    if (!reads(rule, reader)) continue;
    if (std::string reason = rule.check(block); !reason.empty())
      return UnusableOption{rule.name, std::move(reason)};
  }
  return std::nullopt;
}

std::string refusedOptionText(std::string_view name, double value, std::string_view reason) {
  std::string out = "option \"";
  out.append(name).append("\" = ").append(text(value)).append(" refused: ").append(reason);
  return out;
}

std::string refusedOptionChange(const VariantPtrBase& slot, double value) {
  const std::string* name = nullptr;
  for (const auto& [key, entry] : opts.registry)
    if (entry == &slot) name = &key;
  if (name == nullptr) return {};
  const auto candidate = std::make_unique<Opts>();
  candidate->assignValues(opts);
  candidate->registry.at(*name)->set(value);
  for (const Rule& rule : kRules) {
    std::string reason = rule.check(*candidate);
    if (!reason.empty() && rule.check(opts).empty()) return refusedOptionText(*name, value, reason);
  }
  return {};
}
