#include "dense/decomp_checks.h"

#include <atomic>

namespace {

// Installed once at load, read by every decomposition built without a
// choice of its own, possibly on several threads.
std::atomic<DecompChecksSource> installedSource{nullptr};

}  // namespace

void installDecompChecksSource(DecompChecksSource source) noexcept {
  installedSource.store(source, std::memory_order_release);
}

DecompChecks defaultDecompChecks() noexcept {
  const DecompChecksSource source = installedSource.load(std::memory_order_acquire);
  return source != nullptr ? source() : DecompChecks::off;
}
