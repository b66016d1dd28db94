#pragma once
// One-variable MATLAB Level-4 MAT files: the drivers' state files, matrix
// dumps of failed derivative checks and Jacobian dumps.
//
// Layout, integers 32-bit and doubles IEEE binary64, all little-endian:
//
//   offset  size           field
//   0       4              type: 0 (little-endian, double, full numeric)
//   4       4              mrows
//   8       4              ncols
//   12      4              imagf: 0 (real)
//   16      4              namlen
//   20      namlen         the name, NUL-padded
//   20+namlen  8*mrows*ncols  the entries in column-major order
//
// The writer pads the name to namlen = 4 * (floor(len / 4) + 1) bytes (one
// to four NULs). Other writers put a single NUL (namlen = len + 1); the
// reader takes any namlen and cuts the name at its first NUL.

#include <string>

#include "dense/matrix.h"

// dir + "/" + name + ".mat", dir being QX_DATA_DIR when set, else TMP when
// set (even empty), else TEMP when set, else "/tmp". Read at every call.
std::string mat4DefaultPath(const std::string& name);

// Writes m (row-major in memory) as the variable `name`. An empty path is
// first replaced by mat4DefaultPath(name) (the caller sees the path used).
// The bytes go to a fresh temporary file beside the target, which is then
// renamed over it: a reader never sees half a file, and a failed write
// leaves an earlier file as it was. Returns whether the file was written;
// otherwise *why (when given) says what failed. Never throws.
bool writeMat4File(const MatrixTemplate<double>& m, const std::string& name, std::string& path,
                   std::string* why = nullptr) noexcept;

// A diagnostic dump: m written as the variable `name` to
// mat4DefaultPath(name); a failure is reported on standard error ("Could
// not write <path>: <reason>") and otherwise ignored. Returns whether the
// file was written. Never throws.
bool dumpMat4File(const MatrixTemplate<double>& m, const std::string& name) noexcept;

// The first variable of a Level-4 file, which must be a real full double
// matrix; an empty matrix when it cannot be read. A file that does not exist
// is passed over silently; any other failure prints one line to standard
// error ("cannot open input file ...", "input stream left in error state"
// for a file shorter than its header announces, or what is wrong with the
// header). Only a regular file is read, and opening never waits: anything
// else (a FIFO, a device) is "cannot open input file <path>: not a regular
// file" and read as no file. The header is checked against the file's
// length before anything is allocated. Never throws.
MatrixTemplate<double> readMat4File(const std::string& path) noexcept;
