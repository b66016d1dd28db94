#pragma once
// A 32-bit word of the run state that other threads read while the driver
// writes it ("error", "status" and "iter", which the monitor's /status
// serves during a run).
//
// The word is a plain int32 in the run-state record (same size and place as
// before, so the exported layout does not change), but every access goes
// through std::atomic_ref with relaxed ordering: the driver's stores and
// OR-s, the reset's copy of a fresh record, and the status slot's reads
// (VariantPtr<int> is atomic as well) never race. Relaxed is enough: each
// word is a value of its own, and no reader infers anything about other
// memory from it.

#include <atomic>
#include <cstdint>

class RunStateWord {
 public:
  constexpr RunStateWord(std::int32_t v = 0) noexcept : value_(v) {}
  RunStateWord(const RunStateWord& other) noexcept : value_(other.load()) {}
  RunStateWord& operator=(const RunStateWord& other) noexcept {
    store(other.load());
    return *this;
  }
  RunStateWord& operator=(std::int32_t v) noexcept {
    store(v);
    return *this;
  }
  operator std::int32_t() const noexcept { return load(); }

  RunStateWord& operator|=(std::int32_t bits) noexcept {
    ref().fetch_or(bits, std::memory_order_relaxed);
    return *this;
  }

  std::int32_t load() const noexcept { return ref().load(std::memory_order_relaxed); }
  void store(std::int32_t v) noexcept { ref().store(v, std::memory_order_relaxed); }

  // The word itself, for a status slot that reads it atomically.
  std::int32_t* address() noexcept { return &value_; }

 private:
  std::atomic_ref<std::int32_t> ref() const noexcept {
    return std::atomic_ref<std::int32_t>(value_);
  }

  // Mutable: an atomic load needs a non-const reference in C++20.
  alignas(std::atomic_ref<std::int32_t>::required_alignment) mutable std::int32_t value_;
};

static_assert(sizeof(RunStateWord) == sizeof(std::int32_t), "the run-state layout stays as it is");
