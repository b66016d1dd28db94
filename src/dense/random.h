#pragma once
// Pseudo-random numbers in [0, 1) from an inversive congruential generator.
//
// randvec and randfill start a fresh sequence on every call, seeded from the
// wall clock in nanoseconds modulo the prime modulus 2147483647. Each number
// advances the state x to (x + 2)^-1 mod m (0 stays 0) and is x / m, so the
// first number already follows one step. Code that needs the same numbers
// in place of a vector (symmetry tests, eigenvalue start vectors) uses the
// step functions below with the same modulus and seed rule.

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <valarray>

// The generator's modulus: the smallest prime not below 2^31 - 1, that is
// 2147483647 itself.
std::uint64_t inversive_modulus();

// A start state from the wall clock: nanoseconds of omp_get_wtime() mod m.
std::uint64_t inversive_seed(std::uint64_t m);

// u^e mod m by right-to-left square-and-multiply in unsigned 64-bit
// arithmetic (exact while m < 2^32).
std::uint64_t modular_power(std::uint64_t u, std::uint64_t e, std::uint64_t m);

// One step of the generator: (x + 2)^(m - 2) mod m, which is the inverse of
// x + 2 modulo the prime m, or 0 when x + 2 is a multiple of m. For
// m = 2^31 - 1 the (unique) inverse comes from the extended Euclidean
// algorithm instead of the exponentiation.
std::uint64_t inversive_step(std::uint64_t x, std::uint64_t m);

// Overwrites v in index order with numbers of the sequence that starts from
// `state` (0 <= state < m); returns the final state. For m = 2^31 - 1 the
// states of a block are formed as fractions and share one inversion, a few
// multiplications per number; the numbers are those of inversive_step.
std::uint64_t inversive_fill(std::valarray<double>& v, std::uint64_t state, std::uint64_t m);

// n fresh numbers (n >= 0; a negative n throws std::invalid_argument).
std::valarray<double> randvec(long n);

// Overwrites every entry of v with fresh numbers; an empty v stays as it is.
void randfill(std::valarray<double>& v);

namespace PRNG {

// An endless sequence of generator states.
template <class T>
class InfiniteSequence {
 public:
  virtual ~InfiniteSequence() = default;
  virtual T value() const = 0;
  virtual bool fail() const { return false; }  // the sequence never ends
  virtual void doIncr() = 0;
  virtual void reset() = 0;
  virtual void print(std::ostream& os) const = 0;
  virtual InfiniteSequence& operator++() {
    doIncr();
    return *this;
  }

  explicit operator bool() const { return !fail(); }
  T operator*() const { return value(); }
  operator T() const { return value(); }
};

// State and parameters shared by the congruential generators. p and k are
// descriptive only; they are printed, never used.
template <class T>
class CongruentialSequence : public InfiniteSequence<T> {
 public:
  T state, a, c, p, k, m, seed;

  T value() const override { return state; }
  void reset() override { state = seed % m; }

 protected:
  // m must be positive: every step reduces modulo m.
  CongruentialSequence(T a_, T c_, T m_, T seed_, T p_, T k_)
      : state(0),
        a(a_),
        c(c_),
        p(p_),
        k(k_),
        m(m_ ? m_ : throw std::invalid_argument("PRNG: modulus 0")),
        seed(seed_) {
    state = seed % m;
  }
  void printFields(std::ostream& os, const char* kind) const {
    os << kind << " PRNG: p: " << p << " k: " << k << " a: " << a << " c: " << c << " m: " << m
       << " state: " << state;
  }
};

// x -> (x * a + c) mod m.
template <class T>
class LinearPRNG : public CongruentialSequence<T> {
 public:
  LinearPRNG(T a_, T c_, T m_, T seed_, T p_ = 0, T k_ = 0)
      : CongruentialSequence<T>(a_, c_, m_, seed_, p_, k_) {}
  void doIncr() override { this->state = (this->state * this->a + this->c) % this->m; }
  void print(std::ostream& os) const override { this->printFields(os, "Linear"); }
  LinearPRNG& operator++() override {
    this->doIncr();
    return *this;
  }
};

// x -> ((c + x) * a)^-1 mod m (0 stays 0); m = 2 always gives 1.
template <class T>
class InvertedPRNG : public CongruentialSequence<T> {
 public:
  InvertedPRNG(T a_, T c_, T m_, T seed_, T p_ = 0, T k_ = 0)
      : CongruentialSequence<T>(a_, c_, m_, seed_, p_, k_) {}
  void doIncr() override {
    const T m = this->m;
    if (m == 2) {
      this->state = 1;
      return;
    }
    const T u = ((this->c + this->state) * this->a) % m;
    this->state = u == 0 ? 0 : static_cast<T>(modular_power(u, m - 2, m));
  }
  void print(std::ostream& os) const override { this->printFields(os, "Inverted"); }
  InvertedPRNG& operator++() override {
    this->doIncr();
    return *this;
  }
};

extern template class LinearPRNG<std::uint64_t>;
extern template class InvertedPRNG<std::uint64_t>;

}  // namespace PRNG
