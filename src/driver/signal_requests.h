#pragma once
// Requests that signals post to a running driver, and the loop's side of
// them.
//
// The run state's request word holds 0 (none), 1 (stop), 2 (save) or
// 3 (save and stop). A handler stores its value (a later signal replaces an
// earlier request the loop has not seen yet) after one write(2) of its fixed
// text to standard error: both are async-signal-safe, and the word is a
// lock-free atomic. The drivers read the word between iterations.

// SIGINT: "Interupt signal caught: stop at end of iteration\n", stores 1.
void postInterruptRequest() noexcept;
// SIGUSR1: "USR1 signal caught: save state at end of iteration\n", stores 2.
void postSaveRequest() noexcept;
// SIGUSR2: "USR2 signal caught: will stop at end of iteration\n", stores 3.
void postSaveAndStopRequest() noexcept;

// Clears the save bit in one atomic step and tells whether it was set; a
// save signal arriving during the save that follows is kept for the next
// iteration.
bool takeSaveRequest() noexcept;

// The stop bit is set.
bool stopRequested() noexcept;

// The run state of a new run (GlobalState::reset), keeping a stop or save
// request that a signal posted while the run started up.
void resetRunStateKeepingRequests() noexcept;
