#include "options/block_owner.h"

#include <condition_variable>
#include <mutex>

namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int components = 0;      // component calls in progress, outermost ones
  int driversWaiting = 0;  // driver calls waiting for them to end
  bool driverOwns = false;
};

Gate& gate() {
  static Gate g;
  return g;
}

thread_local bool ownsBlock = false;    // this thread runs the owning driver call
thread_local int componentDepth = 0;    // component calls running on this thread

}  // namespace

DriverBlockOwner::DriverBlockOwner() noexcept {
  if (componentDepth > 0 || ownsBlock) return;
  try {
    Gate& g = gate();
    std::unique_lock<std::mutex> lock(g.mutex);
    ++g.driversWaiting;
    g.changed.wait(lock, [&g] { return g.components == 0 && !g.driverOwns; });
    --g.driversWaiting;
    g.driverOwns = true;
  } catch (...) {
    return;  // the gate could not be used: refuse rather than race
  }
  ownsBlock = true;
  acquired_ = true;
}

DriverBlockOwner::~DriverBlockOwner() {
  if (!acquired_) return;
  ownsBlock = false;
  Gate& g = gate();
  {
    const std::lock_guard<std::mutex> lock(g.mutex);
    g.driverOwns = false;
  }
  g.changed.notify_all();
}

ComponentBlockUse::ComponentBlockUse() noexcept {
  if (ownsBlock || componentDepth > 0) {
    ++componentDepth;
    admitted_ = true;
    return;
  }
  try {
    Gate& g = gate();
    const std::lock_guard<std::mutex> lock(g.mutex);
    if (g.driverOwns || g.driversWaiting > 0) return;
    ++g.components;
  } catch (...) {
    return;
  }
  ++componentDepth;
  admitted_ = counted_ = true;
}

ComponentBlockUse::~ComponentBlockUse() {
  if (!admitted_) return;
  --componentDepth;
  if (!counted_) return;
  Gate& g = gate();
  {
    const std::lock_guard<std::mutex> lock(g.mutex);
    --g.components;
  }
  g.changed.notify_all();
}
