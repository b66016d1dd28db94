/* Component entry points of the zelk libraries (libzelk and libzelkcomp).
 *
 * A plain C interface: usable from C and C++, exported with undecorated
 * names. Every entry point returns an int status and never lets a C++
 * exception escape; failures are described on standard error and reported
 * through the documented status values below.
 *
 * Errors common to every entry point (all negative, so they never collide
 * with a success or status word):
 *   ZELKCOMP_ERR_ARGUMENT  an argument was refused before any work: a null
 *                          pointer where one is required, a negative size or
 *                          a size above INT_MAX.
 *   ZELKCOMP_ERR_INTERNAL  the call failed inside the library (for example an
 *                          allocation failure or a wrongly typed option).
 */
#ifndef ZELK_ZELKCOMP_H
#define ZELK_ZELKCOMP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELKCOMP_ERR_ARGUMENT (-1)
#define ZELKCOMP_ERR_INTERNAL (-2)

/* A linear operator supplied by the host: reads n values from x, writes m
 * values into y (which the library always passes zero-filled) and returns 0
 * on success, anything else on failure. context is the host's pointer,
 * handed through unchanged. */
typedef int (*ExternalVectorCallback)(const double* x, long n, double* y, long m, void* context);

/* Result of an iterative solve: seven consecutive 8-byte fields, 56 bytes in
 * native byte order. */
typedef struct IterativeResult {
  int64_t status;  /* status word of the solve */
  double wtime;    /* wall time of the solve, seconds */
  double residual; /* final relative residual */
  double relerr;   /* relative error */
  int64_t it;      /* iterations */
  int64_t calls;   /* host-callback operator calls */
  int64_t reserved; /* always 0 */
} IterativeResult;

/* Per-column statistics of the m x n operator A (n-vectors to m-vectors),
 * from A applied to each unit vector in turn. diag receives min(m, n)
 * values, each of the other outputs n values (one per column); any output
 * pointer may be null to skip it. Columns after a failing callback read 0.
 *
 * Returns 0 on success; 2 when the callback returned non-zero (the loop
 * stops after that column); ZELKCOMP_ERR_ARGUMENT for m < 1, n < 0, sizes
 * above INT_MAX or a null callback; ZELKCOMP_ERR_INTERNAL otherwise. */
int zelkcomp_colinfo(long m, long n, ExternalVectorCallback A, double* diag, double* colsum,
                     double* colabssum, double* colmin, double* colmax, double* colabsmin,
                     double* colabsmax, void* context);

/* Randomised test that AT is the transpose of A (both m x n): applies both
 * to one random vector and compares the results relatively.
 *
 * Returns 1 when they agree within tol; 0 when they do not, when m != n, or
 * when either callback returned non-zero; ZELKCOMP_ERR_ARGUMENT for negative
 * sizes, sizes above INT_MAX or a null callback; ZELKCOMP_ERR_INTERNAL
 * otherwise. Only 1 means "symmetric": test the result with == 1. */
int zelkcomp_is_symmetric(long m, long n, ExternalVectorCallback A, ExternalVectorCallback AT,
                          void* context, double tol);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(IterativeResult) == 56, "IterativeResult crosses the C boundary as 56 bytes");
#endif

#endif /* ZELK_ZELKCOMP_H */
