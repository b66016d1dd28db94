#pragma once
// Outputs a host callback leaves unwritten.
//
// The callbacks' return values are not read (hosts may rely on that), so a
// callback that fails can only say so by not writing. Before the call each
// output entry gets a marker, a quiet NaN with a payload of its own that no
// arithmetic produces; an entry still holding it after the call was not
// written. The test compares bits, so neither the marker nor anything the
// host wrote goes through a floating-point operation.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "driver/host_environment.h"

inline constexpr std::uint64_t kUnwrittenBits = 0x7ff8dead0000beefULL;

// The marker as a double.
double unwrittenMarker() noexcept;
bool isUnwrittenMarker(double value) noexcept;

// Fills n entries at out with the marker.
void markUnwritten(double* out, std::size_t n) noexcept;

// An output of a callback: n entries at data, called `name` in reports.
struct CallbackOutput {
  double* data;
  std::size_t n;
  const char* name;
};

// True when the host wrote every entry of the outputs. Otherwise the run's
// error path takes it: "<callback> callback left <name> unwritten (entry i
// of n)" for the first unwritten entry, through driverStop with code -1
// (ending the process with enableExit; else the run ends with that
// iteration, "error occurred", status 1), and the result is false. The
// unwritten entries become 0, as an objective value the gradient callback
// leaves unwritten does: the rest of the iteration meets no marker.
bool checkWritten(HostEnvironment& host, const char* callback,
                  std::initializer_list<CallbackOutput> outputs);
