#include "driver/state_file.h"

#include <cstdio>
#include <string>

#include "dense/fp_class.h"
#include "driver/mat4_file.h"

bool saveStateFile(const std::valarray<double>& point, const char* fileName) noexcept {
  if (fileName == nullptr || *fileName == '\0') {
    std::fprintf(stderr, "Could not save state: no state-file name\n");
    return false;
  }
  std::string why;
  bool ok = false;
  try {
    std::string path = fileName;
    ok = writeMat4File(MatrixTemplate<double>(point.size(), 1, point), "zelk_current", path, &why);
  } catch (...) {
    why = "out of memory";
  }
  if (ok)
    std::fprintf(stderr, "Saved state to %s\n", fileName);
  else
    std::fprintf(stderr, "Could not save state to %s: %s\n", fileName, why.c_str());
  return ok;
}

bool resumeFromStateFile(const char* fileName, std::valarray<double>& x) {
  if (fileName == nullptr || *fileName == '\0') return false;
  MatrixTemplate<double> m = readMat4File(fileName);
  if (m.rows * m.cols != x.size() || m.elements.size() != x.size()) return false;
  std::fprintf(stderr, "Resume from %s\n", fileName);
  x = m.elements;
  // A file is host data like any other: no signalling NaN reaches the run.
  if (x.size() != 0) quietHostValues(&x[0], x.size());
  return true;
}
