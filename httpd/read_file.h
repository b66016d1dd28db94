#pragma once
// Whole-file reads for the static pages and the library's own mappings.

#include <string>

// The whole contents of the file at path, read as raw bytes; "" when it does
// not open. After a read it writes "Read <n> B from <path>" to standard error
// ("Read stream is bad: " or "Read stream failed: " in place of "Read " when
// the read ended before the end of the file).
std::string readFile(const std::string& path);
