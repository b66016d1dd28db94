#pragma once
// Points the compiler cannot move floating-point arithmetic across.
//
// The compiler treats floating-point arithmetic as free of side effects: it
// computes a value wherever it likes between its operands and its first
// use, so a switch of the trap mask (a library call, an asm statement) does
// not keep arithmetic on register values on its side. These empty asm
// statements claim to read and change their operands, so what depends on
// a value passed through one comes after it, and a value passed through one
// is complete before it.

#include <type_traits>

// After fpBarrier(v), v is a new value: nothing computed from it can move
// above this point, and v itself is complete here.
inline void fpBarrier(double& v) noexcept { __asm__ volatile("" : "+x"(v)); }
inline void fpBarrier(float& v) noexcept { __asm__ volatile("" : "+x"(v)); }

// The same for any object: it is written to memory, complete, before this
// point (its address escapes into an asm statement that may read all of
// memory).
template <class T>
inline void fpKeep(T& v) noexcept {
  if constexpr (std::is_same_v<T, double> || std::is_same_v<T, float>)
    fpBarrier(v);
  else
    __asm__ volatile("" : : "r"(&v) : "memory");
}

// Every store before this point is done, and no load after it is made
// earlier.
inline void fpMemoryBarrier() noexcept { __asm__ volatile("" : : : "memory"); }
