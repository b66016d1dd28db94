#pragma once
// The state file: a driver's current point as the single n x 1 variable
// "zelk_current" of a Level-4 MAT file (by default "zelk-current.mat" in
// the working directory), written on request and at the end of a run, read
// back to resume a run.

#include <valarray>

// Writes point to fileName and reports it on standard error: "Saved state
// to <name>\n" when the file was written, "Could not save state to <name>:
// <reason>\n" otherwise. Never throws and never ends the process.
bool saveStateFile(const std::valarray<double>& point, const char* fileName) noexcept;

// When fileName holds a matrix of exactly x.size() values (of any shape),
// x takes them in the matrix's row-major order (the file's order for a row
// or a column), "Resume from <name>\n" goes to standard error and the
// result is true. Otherwise x stays as it is.
bool resumeFromStateFile(const char* fileName, std::valarray<double>& x);
