#pragma once
// Who uses the process-wide option block (`opts`) and run state (`state`).
//
// A driver call owns both for its whole length: it loads the block and
// resets the state when it starts, and reads and writes them at every step.
// The component calls that run solvers (the linear and eigen entry points)
// read the block and add to the state's inner-solve counters; any number of
// them may run at once, on different threads.
//
// Side by side the two would race: a component call on another thread would
// read a block that a starting driver overwrites field by field, and the
// driver's reset would overwrite the counters the component call adds to
// (while the driver's records would count the other thread's iterations).
// There is no consistent block to hand such a call short of copying the
// block into every solver, so:
//   - a driver call waits until the component calls in progress on other
//     threads have ended (they are bounded by their own limits), then owns
//     the block until it returns;
//   - a component call made on another thread while a driver owns the block,
//     or waits for it, is refused at once rather than made to wait for a
//     whole optimisation;
//   - a component call made on the driver's own thread (from a host
//     callback) runs, as does one nested in another component call: neither
//     can race with the call it is nested in;
//   - a driver call made from inside a component call on the same thread is
//     refused: it would wait for the call it is nested in.

class DriverBlockOwner {
 public:
  DriverBlockOwner() noexcept;
  ~DriverBlockOwner();
  DriverBlockOwner(const DriverBlockOwner&) = delete;
  DriverBlockOwner& operator=(const DriverBlockOwner&) = delete;

  // False for a driver call made inside a component call on this thread.
  bool acquired() const noexcept { return acquired_; }

 private:
  bool acquired_ = false;
};

class ComponentBlockUse {
 public:
  ComponentBlockUse() noexcept;
  ~ComponentBlockUse();
  ComponentBlockUse(const ComponentBlockUse&) = delete;
  ComponentBlockUse& operator=(const ComponentBlockUse&) = delete;

  // False while a driver call on another thread owns or awaits the block.
  bool admitted() const noexcept { return admitted_; }

 private:
  bool admitted_ = false;
  bool counted_ = false;
};
