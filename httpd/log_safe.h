#pragma once
// Request data made fit for a log line.
//
// Paths, header lines and parameter values come from the peer: they may hold
// line breaks or terminal escapes and may be long. Before they are logged,
// every control byte (below 0x20, and 0x7f) is written as "\r", "\n", "\t" or
// "\xNN", and the text is cut after `limit` bytes with "..." appended, so
// one request gives short whole lines.

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kLogDataLimit = 200;

std::string logSafe(std::string_view text, std::size_t limit = kLogDataLimit);
