#pragma once
// What the two LSRN solver forms share: the sketch size, the preconditioner
// diagnostics they print, the refusal of a sketch that cannot precondition
// anything, and the status rule of their inner CG.

#include <cstdint>
#include <ostream>
#include <valarray>

#include "dense/decomposed_general.h"
#include "zelk/zelkcomp.h"

namespace lsrn {

// Status of an LSRN solve that could not run: the sketch cannot give a
// preconditioner (fewer sketch rows than unknowns, no unknowns, a failed
// SVD or a sketch without a single non-zero singular value). x is then
// zero and the residual 1; nothing is reported as success.
inline constexpr std::int32_t kSketchFailed = ZELKCOMP_STATUS_SKETCH_FAILED;

// The sketch size for n unknowns and m rows: ceil(n * oversample) as a
// 32-bit count (0 for a NaN or negative product), but at most max(m, 2 n).
// m random combinations of the rows already span the row space of A and 2 n
// is the usual size; a larger oversample would buy host products and memory
// beyond the problem's own size (1e6 on a 30 x 8 problem: 8 million
// products), so it is held there.
std::int32_t sketchSize(std::int32_t n, std::int32_t m, double oversample);

// The batches of a sketch of d rows in batches of at most `batch`.
struct Batches {
  std::int32_t batch;  // >= 1 when d > 0
  std::int32_t count;
};
Batches batches(std::int32_t d, std::int32_t batch);

// The preconditioning values of a sketch held in decomp.a (sketchLen
// samples of n unknowns, in either orientation).
struct SketchFactors {
  bool usable = false;             // false: the solve must give up
  std::uint32_t rank = 0;          // values kept at the cut invtol
  unsigned idiagRank = 0;          // the count idiag reports
  std::valarray<double> inverse;   // 1 / s_i for the kept values
};

// Thin SVD of the sketch in place and its diagnostics on `os`: "S diag: "
// with the summary of s, with showFactors the headers of U ("U: ") and VT
// ("Vt: "), then "DecompT tol ..." with the rank record at invtol. A sketch
// that cannot precondition (no unknowns, fewer samples than unknowns, a
// failed SVD, rank 0) is reported unusable before idiag runs.
SketchFactors factorSketch(std::ostream& os, DecomposedGeneralMatrix& decomp, std::int32_t n,
                           std::int32_t sketchLen, double invtol, bool cap, bool showFactors);

// s_0 / s_{E-1}, E the index of the first value below 1e-15 |s_0| (all of
// them when none); 0 for no values.
double conditionNumber(const std::valarray<double>& s);

// The outcome of a solve that cannot run: x becomes n zeros, the residual
// 1 (that of x = 0); returns kSketchFailed.
std::int32_t giveUp(std::valarray<double>& x, std::int32_t n, double& residual);

// The inner CG's flags as the solve's status: a breakdown (1) with the
// residual already below tol / cgtolre counts as converged.
std::int32_t innerStatus(std::int64_t flags, double residual, double tol);

// "LSRN CG sol error: " e1 " " e2 " " ||c|| for the check L(y) against c.
void printSolutionError(std::ostream& os, const char* label, const std::valarray<double>& Ly1,
                        const std::valarray<double>& Ly2, const std::valarray<double>& c);

}  // namespace lsrn
