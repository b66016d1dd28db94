#pragma once
// The library's fatal-error exits and the host's error callback. These live
// in the main library only: the component library has no error exits.

#include <string>

#include "options/exported_data.h"

using ZelkErrorHandler = void (*)(int code);

// The host's error callback, called by zelkStop with the error code. Null at
// load; the library never assigns it.
extern ZelkErrorHandler errorHandler ZELK_EXPORTED_DATA;

// Build information: the chief source of the minimisation driver, the build
// date ("Aug 30 2026") and time ("18:33:36"), and the target architecture.
extern const char* const into[4] ZELK_EXPORTED_DATA;

// Reports a user-visible error: writes "Error: <msg> code <code>\n" to
// standard error, stores the code in state.error, calls errorHandler(code)
// when "enableErrorHandler" is on and a handler is set, and exits the process
// with the code when "enableExit" is on. Otherwise it returns, and the caller
// must end its work with its own error status.
void zelkStop(std::string msg, int code);

// Writes "stop: <msg>\n" to standard error and exits with status 3.
[[noreturn]] void stop(const std::string& msg);
