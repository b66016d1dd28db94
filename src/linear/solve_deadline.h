#pragma once
// The time limit of the solves a component call runs on its thread.
//
// The component entry points take a time limit ("maxt", seconds) for the
// whole call. Some methods never look at a control record (CG, MINRES, the
// inner solves of the inverse iteration), and a host may ask for "maxit"
// 1e15 with a tolerance no residual can meet: the limit must then end the
// iteration itself. A SolveDeadline, set for the length of an entry point's
// work, gives every iterative solver on that thread one test it makes next
// to its iteration limit; a solver stopped by it returns its current
// iterate as if its iteration limit had been reached, and the entry point's
// status word reports the time limit (bit 8) as it always does.
//
// Without a SolveDeadline in force (the drivers' own solves) there is no
// limit and the test does not read the clock. Scopes nest: a component call
// made from a host callback runs to the earlier of its own limit and its
// caller's, and the caller's alone is in force again when it returns.

class SolveDeadline {
 public:
  // seconds from now; an infinite or NaN limit means none.
  explicit SolveDeadline(double seconds) noexcept;
  ~SolveDeadline();
  SolveDeadline(const SolveDeadline&) = delete;
  SolveDeadline& operator=(const SolveDeadline&) = delete;

  // True once the innermost limit in force on this thread has passed.
  static bool passed() noexcept;

  // status with the time-limit bit 8 added when this call's limit has
  // passed. The solvers' own "wtime" is measured from a later start, so a
  // solve the limit stopped may report a time just below it.
  static long withTimeLimitBit(long status) noexcept { return passed() ? status | 8 : status; }

 private:
  double previous_;
};
