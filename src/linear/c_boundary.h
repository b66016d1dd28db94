#pragma once
// The guard of every exported C entry point. Nothing may unwind into a C
// host: the body runs inside guardEntry, which turns any exception into a
// message on standard error and a documented negative status
// (ZELKCOMP_ERR_ARGUMENT for a refused argument, ZELKCOMP_ERR_BUSY for a
// call refused while a driver owns the option block, ZELKCOMP_ERR_INTERNAL
// for anything else). Arguments are checked with the require* helpers before
// any allocation.
//
//   extern "C" int zelkcomp_example(long n, const double* x) {
//     return guardEntry("zelkcomp_example", [&] {
//       requireSize(n, "n");
//       requireNonNull(x, "x");
//       ...
//       return 0;
//     });
//   }

#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "options/block_owner.h"
#include "zelk/zelkcomp.h"

// A refused argument of an entry point.
class EntryArgumentError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A call refused because a driver call on another thread owns the
// process-wide option block (options/block_owner.h).
class EntryBusyError : public std::runtime_error {
 public:
  EntryBusyError()
      : std::runtime_error("refused: a driver call on another thread owns the option block") {}
};

// EntryBusyError unless `use` was admitted.
inline void requireAdmitted(const ComponentBlockUse& use) {
  if (!use.admitted()) throw EntryBusyError();
}

// n, when min <= n <= INT_MAX; otherwise EntryArgumentError naming it.
inline long requireSize(long n, const char* what, long min = 0) {
  if (n < min || n > INT_MAX)
    throw EntryArgumentError(std::string(what) + " = " + std::to_string(n) +
                             " is outside [" + std::to_string(min) + ", " +
                             std::to_string(INT_MAX) + "]");
  return n;
}

// EntryArgumentError naming p when it is null (data or function pointer).
template <class P>
void requireNonNull(P p, const char* what) {
  if (p == nullptr) throw EntryArgumentError(std::string(what) + " is a null pointer");
}

template <class Body>
int guardEntry(const char* entry, Body&& body) noexcept {
  try {
    return body();
  } catch (const EntryArgumentError& e) {
    std::fprintf(stderr, "%s: invalid argument: %s\n", entry, e.what());
    return ZELKCOMP_ERR_ARGUMENT;
  } catch (const EntryBusyError& e) {
    std::fprintf(stderr, "%s: %s\n", entry, e.what());
    return ZELKCOMP_ERR_BUSY;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", entry);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", entry, e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unknown error\n", entry);
  }
  return ZELKCOMP_ERR_INTERNAL;
}
