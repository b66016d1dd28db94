#include "driver/signal_requests.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "options/global_state.h"

namespace {

template <std::size_t N>
void post(std::int32_t request, const char (&text)[N]) noexcept {
  const int savedErrno = errno;  // the interrupted code may be reading errno
  ssize_t ignored = write(STDERR_FILENO, text, N - 1);
  (void)ignored;
  state.request.store(request, std::memory_order_relaxed);
  errno = savedErrno;
}

}  // namespace

void postInterruptRequest() noexcept {
  post(1, "Interupt signal caught: stop at end of iteration\n");
}

void postSaveRequest() noexcept {
  post(2, "USR1 signal caught: save state at end of iteration\n");
}

void postSaveAndStopRequest() noexcept {
  post(3, "USR2 signal caught: will stop at end of iteration\n");
}

bool takeSaveRequest() noexcept { return (state.request.fetch_and(~2) & 2) != 0; }

bool stopRequested() noexcept { return (state.request.load() & 1) != 0; }

void resetRunStateKeepingRequests() noexcept { state.resetValues(); }
