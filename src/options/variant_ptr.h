#pragma once
// Typed slots of the option and status registries.
//
// A slot names nothing itself: the registry maps a name to it. It describes
// the value (range and flags, for whoever lists it) and reads and writes the
// field it points at, converting from and to double. A slot never enforces
// its range or its read-only flag; callers that honour them check the flags.
//
// The monitor's workers set and read slots while a driver runs on the
// host's thread, so a slot reads and writes its field atomically
// (std::atomic_ref, relaxed: every field is a value of its own). The fields
// stay plain members of their records: the run-state words are atomic on
// the driver's side too (run_state_word.h), and so are the stopping rules'
// reads of their options (liveOption); elsewhere the option fields are read
// plainly by the driver at each use, an aligned word read that cannot see
// a torn value (the ThreadSanitizer builds suppress exactly that pair,
// tests/tsan.supp).

#include <atomic>
#include <cstdint>

#include "options/option_cast.h"

// Bits of VariantPtrBase::flags.
namespace OptFlag {
inline constexpr std::uint64_t ReadOnly = 0x1;
inline constexpr std::uint64_t NeedsRestart = 0x2;
// Bits 8-10 hint at the kind of value; nothing in the library acts on them.
inline constexpr std::uint64_t KindMask = 0x700;
inline constexpr std::uint64_t Switch = 0x100;  // 0/1
inline constexpr std::uint64_t Count = 0x200;   // 0 .. 1000
inline constexpr std::uint64_t Mode = 0x300;    // 0 .. 4
inline constexpr std::uint64_t BitMask = 0x400; // 0 .. 16777215
}  // namespace OptFlag

class VariantPtrBase {
 public:
  double min;           // (min, max) = (0, 0): no range
  double max;
  std::uint64_t flags;  // OptFlag bits

  VariantPtrBase(double min_, double max_, std::uint64_t flags_) noexcept
      : min(min_), max(max_), flags(flags_) {}
  VariantPtrBase(const VariantPtrBase&) = delete;
  VariantPtrBase& operator=(const VariantPtrBase&) = delete;
  virtual ~VariantPtrBase() = default;

  // Stores v converted to the field's type (see option_cast).
  virtual void set(double v) = 0;
  virtual double get() const = 0;
};

template <class T>
class VariantPtr final : public VariantPtrBase {
 public:
  T* field;  // not owned; lives in the object that owns the registry

  VariantPtr(double min_, double max_, std::uint64_t flags_, T* field_) noexcept
      : VariantPtrBase(min_, max_, flags_), field(field_) {}

  void set(double v) override {
    const std::atomic_ref<T> slot(*field);
    slot.store(option_cast<T>(v, slot.load(std::memory_order_relaxed)), std::memory_order_relaxed);
  }
  double get() const override {
    return static_cast<double>(std::atomic_ref<T>(*field).load(std::memory_order_relaxed));
  }
};

// An option field read the way slots write it. For the fields a monitor
// client sets to end a run (the limits and tolerances of the stopping
// rules), read once per iteration while the client may be writing them.
template <class T>
T liveOption(const T& field) noexcept {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

// The four slot types exist once per library (variant_ptr.cpp).
extern template class VariantPtr<long>;
extern template class VariantPtr<int>;
extern template class VariantPtr<unsigned int>;
extern template class VariantPtr<double>;
