#pragma once
// Work items of the thread pool: a function and the values of its arguments,
// called once on a worker.

#include <cstddef>
#include <type_traits>
#include <utility>

class FunArgsBase {
 public:
  virtual ~FunArgsBase() = default;
  virtual long getSize() const = 0;
};

// The argument values, first one and then the pack of the rest, by value.
template <class... Args>
class FunArgs;

// The end of a pack: holds nothing and takes no room in the pack above it.
template <>
class FunArgs<> {
 public:
  template <class F, class... Done>
  int callWith(F& fn, Done&... done) {
    return fn(done...);
  }
};

template <class A, class... Rest>
class FunArgs<A, Rest...> : public FunArgsBase {
 public:
  long size = 1 + static_cast<long>(sizeof...(Rest));
  A value;
  [[no_unique_address]] FunArgs<Rest...> tail;

  template <class V, class... Vs>
  explicit FunArgs(V&& v, Vs&&... vs) : value(std::forward<V>(v)), tail(std::forward<Vs>(vs)...) {}

  long getSize() const override { return size; }

  // fn(done..., value, the tail's values...).
  template <class F, class... Done>
  int callWith(F& fn, Done&... done) {
    return tail.callWith(fn, done..., value);
  }
};

class FunCallBase {
 public:
  virtual ~FunCallBase() = default;
  virtual long numArgs() const = 0;
  virtual int do_call() = 0;
};

template <class F, class... Args>
class FunCall final : public FunCallBase {
 public:
  F fn;
  FunArgs<Args...> args;

  template <class G, class... Vs>
  explicit FunCall(G&& g, Vs&&... vs) : fn(std::forward<G>(g)), args(std::forward<Vs>(vs)...) {}

  long numArgs() const override { return static_cast<long>(sizeof...(Args)); }
  int do_call() override { return args.callWith(fn); }
};
