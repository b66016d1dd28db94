// Options as a host passes them (parallel arrays of names and values) and
// the forms the library turns them into: an option block (Opts, see
// zelk/option_block.h), a text map and the variant option map that the
// linear and eigen solvers read; and the trace level, set and read by
// index.
//
// A C++ header: the entry points take and return standard containers and
// are exported with C++ linkage from both libraries (libzelk and
// libzelkcomp). The two trace functions are noexcept; the builders throw
// std::bad_alloc when memory runs out, and nothing else.
//
// Reading the arrays: nothing when names or values is null or n <= 0;
// otherwise entries 0, 1, ... up to n - 1, ending early at the first null
// name. A later duplicate name replaces the earlier value. An entry whose
// value string is null (text arrays only) is skipped.

#ifndef ZELK_OPTIONS_H
#define ZELK_OPTIONS_H

#include <map>
#include <string>
#include <variant>

#include "zelk/option_block.h"

// Kinds, in index order: integer settings are long, tolerances and ratios
// double, objects lent to a solve void*. Readers take a value only in the
// kind they expect; no numeric conversion between long and double.
using OptionValue = std::variant<long, double, std::string, void*>;
using OptionMap = std::map<std::string, OptionValue>;

// All entries of b, plus the entries of a whose keys b lacks (b wins).
OptionMap map_union(const OptionMap& a, const OptionMap& b);

// An Opts with the built-in defaults and the arrays' overrides (unknown
// names ignored).
Opts zelkcomp_buildopts(const char* const* names, const double* values, long n);

// Text map of the arrays, each value string copied unchanged.
std::map<std::string, std::string> zelkcomp_buildoptmap(const char* const* names,
                                                        const char* const* values, long n);

// Text map of the arrays, each value formatted "{:.17g}".
std::map<std::string, std::string> zelkcomp_buildoptmap(const char* const* names,
                                                        const double* values, long n);

// Variant map of the arrays: a value whose "{:.17g}" text is a whole integer
// (whole numbers below 1e17 in magnitude, -0 included) becomes long, every
// other value double (NaN and infinities included).
OptionMap zelkcomp_buildopts2(const char* const* names, const double* values, long n);

// which 0: stores v into the trace level of the process-wide option block
// (truncated as an unsigned option) and returns 0. Any other which changes
// nothing and returns -1. Any thread, at any time (also while a driver call
// runs: it reads the word at each use).
int zelkcomp_setopt(long which, double v) noexcept;

// out null: returns 0 and does nothing. which 0: *out = the trace level,
// returns 0. Any other which: returns -1, *out unchanged. Any thread, at
// any time.
int zelkcomp_getopt(long which, double* out) noexcept;

#endif
