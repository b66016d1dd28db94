#pragma once
// Whole-file reads for the static pages and the library's own mappings.

#include <cstddef>
#include <stop_token>
#include <string>

// The whole contents of the file at path, read as raw bytes; "" when it does
// not open. After a read it writes "Read <n> B from <path>" to standard error
// ("Read stream is bad: " in place of "Read " when a read error ended it
// before the end of the file).
std::string readFile(const std::string& path);

enum class FileRead { Ok, Missing, NotRegular, TooLarge, Stopped };

// The same for a file that must be a regular file of at most maxBytes
// (checked on the opened file, and again while reading, so a file that
// grows is cut off too). Opening never blocks, whatever the path names.
// `contents` holds the file only for Ok.
FileRead readRegularFile(const std::string& path, std::size_t maxBytes, std::string& contents);

// The same for the file `name` below the folder `root`, which must not lead
// out of root on its way, through ".." or any symbolic link (Missing when it
// would). The kernel checks the whole path as it opens it (openat2 with
// RESOLVE_BENEATH, Linux 5.6); on an older kernel the real paths of root and
// file are compared before the open, which a link swapped in between could
// still get past. A stop requested while the file is read ends it (Stopped).
FileRead readRegularFileBeneath(const std::string& root, std::string name, std::size_t maxBytes,
                                std::string& contents, const std::stop_token& stop);
