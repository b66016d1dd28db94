#pragma once
// The drivers' error exits, run so that what they hand to the host (the
// host's error handler, the end of the process) runs as host code, under
// the host's trap mask.

#include <cstddef>
#include <string>

#include "dense/fp_class.h"
#include "driver/host_environment.h"

// zelkStop(message, code) under the host's environment: records the code in
// the run state, calls the host's error handler, and ends the process when
// enableExit is set.
void driverStop(HostEnvironment& host, const std::string& message, int code);

// "NaN values encountered\n" when a block held a NaN, else "Inf values
// encountered\n" when it held an infinity, else null.
const char* nonFiniteMessage(HostValues held) noexcept;

// The same for the n values (read by their bits).
const char* nonFiniteValues(const double* values, std::size_t n) noexcept;

// A host callback delivered NaN or infinite values. With enableExit set,
// stop(message) ends the process with status 3. Otherwise the same
// "stop: " line goes to standard error and the run state records error 3:
// the run goes on to the end of its iteration and ends there with "error
// occurred".
void nonFiniteStop(HostEnvironment& host, const char* message);
