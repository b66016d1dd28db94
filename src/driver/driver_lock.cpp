#include "driver/driver_lock.h"

#include <mutex>

namespace {

std::mutex& driverMutex() {
  static std::mutex mutex;
  return mutex;
}

thread_local bool insideDriverCall = false;

}  // namespace

DriverLock::DriverLock() noexcept {
  if (insideDriverCall) return;
  try {
    driverMutex().lock();
  } catch (...) {
    return;  // the lock could not be taken: refuse as well
  }
  insideDriverCall = true;
  acquired_ = true;
}

DriverLock::~DriverLock() {
  if (!acquired_) return;
  insideDriverCall = false;
  driverMutex().unlock();
}
