// A word of a shared record that other threads read or write while a driver
// uses it: the run state's "error", "status" and "iter" (which the
// monitor's /status serves during a run), and the option block's trace word
// (which zelkcomp_setopt and zelkcomp_getopt reach from any thread).
//
// The word is a plain T in its record (same size and place, so an exported
// layout does not change), but every access goes through std::atomic_ref
// with relaxed ordering: the driver's reads, stores and OR-s, a copy of a
// whole record, and the other threads' accesses never race. Relaxed is
// enough: each word is a value of its own, and no reader infers anything
// about other memory from it.
//
// A C++ header. It is public because the option block that
// zelkcomp_buildopts hands a host holds such a word (zelk/option_block.h).

#ifndef ZELK_RELAXED_WORD_H
#define ZELK_RELAXED_WORD_H

#include <atomic>

#ifndef __cpp_lib_atomic_ref
#error "zelk's C++ headers need C++20 (std::atomic_ref): compile with -std=c++20"
#endif

template <class T>
class RelaxedWord {
 public:
  constexpr RelaxedWord(T v = 0) noexcept : value_(v) {}
  RelaxedWord(const RelaxedWord& other) noexcept : value_(other.load()) {}
  RelaxedWord& operator=(const RelaxedWord& other) noexcept {
    store(other.load());
    return *this;
  }
  RelaxedWord& operator=(T v) noexcept {
    store(v);
    return *this;
  }
  operator T() const noexcept { return load(); }

  RelaxedWord& operator|=(T bits) noexcept {
    ref().fetch_or(bits, std::memory_order_relaxed);
    return *this;
  }

  T load() const noexcept { return ref().load(std::memory_order_relaxed); }
  void store(T v) noexcept { ref().store(v, std::memory_order_relaxed); }

  // The word itself, for a slot that reads it atomically.
  T* address() noexcept { return &value_; }

 private:
  std::atomic_ref<T> ref() const noexcept { return std::atomic_ref<T>(value_); }

  // Mutable: an atomic load needs a non-const reference in C++20.
  alignas(std::atomic_ref<T>::required_alignment) mutable T value_;
};

#endif
