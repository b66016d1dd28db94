#pragma once
// One driver call at a time in the process.
//
// The drivers share process-wide objects (the option block `opts`, the run
// state `state`, the signal dispositions, the trap mask), so a call of
// `zelk` or `trovik` holds this lock for its whole length. A call from
// another thread waits for the running one to end. A call from the thread
// that already holds it, which can only come from inside a host callback of
// the running call, would wait for itself: it is refused instead.

class DriverLock {
 public:
  DriverLock() noexcept;
  ~DriverLock();
  DriverLock(const DriverLock&) = delete;
  DriverLock& operator=(const DriverLock&) = delete;

  // False for a refused (nested) call; the caller must return at once,
  // without touching the process-wide objects.
  bool acquired() const noexcept { return acquired_; }

 private:
  bool acquired_ = false;
};
