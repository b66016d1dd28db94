#pragma once
// The boundary of a driver's exported entry point: one driver call at a
// time in the process (DriverLock), owning the process-wide option block and
// run state for its length (DriverBlockOwner), and no exception into the
// host. A nested call from a host callback, or from inside a component call
// on the same thread, is refused, and a failure inside the run is reported
// on standard error ("Error: <driver>: <reason>"); both answer with status 1. The run itself puts back what it changed on its
// way out (its scoped objects); the boundary puts back the host's
// floating-point exception flags, which the library's work before its
// traps are armed, and the host's own callbacks, raise as well.

#include <fenv.h>

#include <cstdio>
#include <exception>
#include <new>

#include "driver/driver_lock.h"
#include "options/block_owner.h"

// The host's exception flags, as they were when the scope began, back when
// it ends.
class HostFpFlags {
 public:
  HostFpFlags() noexcept { fegetexceptflag(&flags_, FE_ALL_EXCEPT); }
  ~HostFpFlags() { fesetexceptflag(&flags_, FE_ALL_EXCEPT); }
  HostFpFlags(const HostFpFlags&) = delete;
  HostFpFlags& operator=(const HostFpFlags&) = delete;

 private:
  fexcept_t flags_;
};

template <class Run>
int runDriverCall(const char* driver, Run&& run) noexcept {
  const HostFpFlags flags;
  const DriverLock lock;
  if (!lock.acquired()) {
    std::fprintf(stderr,
                 "Error: %s refused: called while a driver call is running on this thread\n",
                 driver);
    return 1;
  }
  const DriverBlockOwner owner;
  if (!owner.acquired()) {
    std::fprintf(stderr,
                 "Error: %s refused: called while a component call is running on this thread\n",
                 driver);
    return 1;
  }
  try {
    return run();
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "Error: %s: out of memory\n", driver);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Error: %s: %s\n", driver, e.what());
  } catch (...) {
    std::fprintf(stderr, "Error: %s: unknown failure\n", driver);
  }
  return 1;
}
