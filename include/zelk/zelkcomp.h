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
 *   ZELKCOMP_ERR_BUSY      zelkcomp_linsolve, zelkcomp_maxeigen and
 *                          zelkcomp_mineigen only: refused before any work
 *                          because a driver call (zelk, trovik) runs on
 *                          another thread, or is about to start there. The
 *                          solvers read the process-wide option block that a
 *                          driver call owns while it runs; call them after it
 *                          returns, or from its callbacks, which run on its
 *                          own thread and are always admitted. Any number of
 *                          these calls may run at once on different threads
 *                          while no driver runs; a driver call waits for them
 *                          to end before it starts.
 */
#ifndef ZELK_ZELKCOMP_H
#define ZELK_ZELKCOMP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELKCOMP_ERR_ARGUMENT (-1)
#define ZELKCOMP_ERR_INTERNAL (-2)
#define ZELKCOMP_ERR_BUSY (-3)

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

/* Status bit of zelkcomp_linsolve: a host callback failed during the call,
 * in the solve or in the closing product A x that gives y_out. Methods that
 * do not stop on callback failures ("cg", "cglifted", "cgprenormal",
 * "minres", "cghc2") go on with what the failed call returned, the others
 * stop (and add 0x22); either way x_out is not to be trusted. When the
 * closing product failed, y_out is all NaN and res->relerr is NaN. */
#define ZELKCOMP_STATUS_CALLBACK_FAILED 512

/* Status bit of zelkcomp_linsolve's LSRN methods: the random sketch could
 * not give a preconditioner (an "oversample" below 1, no unknowns, a failed
 * SVD of the sketch or a sketch without a non-zero singular value); x_out is
 * zero and nothing was solved. */
#define ZELKCOMP_STATUS_SKETCH_FAILED 1024

/* Status bit of the closing check: the solver reported convergence, but the
 * answer fails the library's own check of it.
 *   zelkcomp_linsolve: the solver ended without a bit of its own and with
 *     its residual below tol, but the answer fails a check from fresh
 *     products. For the methods whose relerr measures the system they
 *     solve ("cg", "minres", "cghc", "cghc2", and "cglifted", "cgnormal",
 *     "cgprenormal" when they run without a shift): the true relative error
 *     relerr (res->relerr, from A x) is not below 10 tol. For the
 *     least-squares methods ("lsrn", "lsrn2", "lsrnreg"), whose residual
 *     r = A x - b need not vanish: x fails the backward-error tests of
 *     least squares for [A; shift I] and [b; 0] (shift 0 but for
 *     "lsrnreg"; tol for "lsrn" the process-wide cgtol). With
 *     rbar = [r; shift x], gbar = A^T r + shift^2 x, N an estimate of
 *     ||[A; shift I]|| from above (within a factor 2, by power steps on
 *     A^T A), a_n = 10 (tol + n DBL_EPSILON), a_m = 10 (tol + m DBL_EPSILON),
 *     neither the system is solved,
 *       ||rbar|| <= 10 tol ||b|| + a_n N ||x||,
 *     nor the least-squares problem,
 *       ||gbar|| <= N (a_m ||rbar|| + a_n N ||x||) and
 *       |(A x) . r + shift^2 ||x||^2| <= a_m N ||x|| (||[A x; shift x]|| +
 *       ||rbar||),
 *     or a value in them is not finite (as for a shift whose square
 *     overflows). Both tests allow for the rounding of the products, which
 *     grows with ||A|| ||x||: an error e of x along singular values below
 *     about sqrt(a_n) ||A|| is not seen where A e is at right angles to
 *     A x, as when a rank cut by "invtol" drops such a direction.
 *     This check costs 9 products: one with A^T for gbar and four each with
 *     A and A^T for N.
 *   zelkcomp_maxeigen, zelkcomp_mineigen: the returned pair (eigenvalue,
 *     v_out) has ||A v - lambda v|| >= 10 tol s for the unshifted operator
 *     (A^T A when m != n), s the operator's scale: |lambda| for the largest
 *     eigenvalue, the largest eigenvalue's magnitude for the smallest. */
#define ZELKCOMP_STATUS_CHECK_FAILED 2048

/* Solves A x = b, or the least-squares problem min ||A x - b|| for a tall A,
 * with the method named by `method` (exact, case-sensitive):
 *   "matrixvectorsolve", "mvsolve"  dense least squares (LAPACK dgelsd,
 *                                   rcond 1e-15); dense A only, and only
 *                                   m >= n (with m < n, x = x0 unsolved);
 *   "cg"         conjugate gradients on A (symmetric positive definite);
 *   "cglifted"   CG on A + regshift I (process-wide option "regshift");
 *   "cgnormal"   CG on A^T A + shift I with right-hand side A^T b; options
 *                "shift", or "relshift" (shift = relshift * max(A^T A 1));
 *   "cgprenormal" preconditioned CG on A^T A + shift I with right-hand side
 *                A^T b and the preconditioner P_cb;
 *   "minres"     minimal residual on A (symmetric, may be indefinite);
 *   "cghc", "cghaircut"  CG on A (symmetric) with its dominant eigenvalues
 *                shrunk by a filter built from a block power iteration;
 *                options "dim_k" (eigen-directions, >= 1, default 10),
 *                "cghc.maxit", "cghc.relax" (integral), "cghc.orthtol",
 *                "cghc.evtol", "cghc.skipreltol" (real);
 *   "cghc2", "cghaircut2"  CG on A (symmetric) with its "dim_k" (>= 0)
 *                dominant eigenvalues cut to the next one, the operator
 *                lifted by the integral factor "minvrelshift" (required)
 *                times that eigenvalue; the solution is that of A x = b;
 *   "lsrn", "lsrn2", "lsrnreg"  least squares by a random sketch of A and
 *                CG on the preconditioned normal equations; "lsrn" reads
 *                the process-wide options cgmaxit, cgtol and lsrninvtol
 *                (and its status word judges "it" and "residual" by those
 *                two, not by "maxit" and "tol"), "lsrn2" the options
 *                "oversample", "invtol" (real) and "batchsize" (integral),
 *                "lsrnreg" the same for [A; shift I] with the right-hand
 *                side [b; 0] ("shift", real, default 0). The sketch has
 *                ceil(n oversample) columns, but never more than
 *                max(rows, 2 n): a larger "oversample" is held there;
 * The methods that solve A x = b ("cg", "cglifted", "minres", "cghc",
 * "cghaircut", "cghc2", "cghaircut2") need m = n.
 * A is either a dense m x n row-major matrix (m * n values; then no callback
 * is needed or called) or null, and then the callbacks give the products:
 * A_cb y = A x (n -> m values), AT_cb y = A^T x (m -> n), P_cb y = P x
 * (n -> n; a preconditioner). Only the callbacks the method calls must be
 * non-null. Argument 12 is not read.
 *
 * b has m values, x0 (the start vector) n values; either may be null only
 * when its length is 0. Options come as parallel arrays of nopts names and
 * values; a whole-number value is taken as an integer, any other as a real,
 * and each option is read in one kind only: tolerances ("tol", default
 * 1e-15) must be non-integral, counts ("maxit", default 10000; "cgmode" 4,
 * "cgreset" 0, "cgrec" 0) integral; the time limit "maxt" (seconds, checked
 * after the solve) may be either. context is handed to every callback.
 * b may have any magnitude: a right-hand side near the ends of the double
 * range is solved at the scale of 1 and the solution scaled back.
 *
 * Outputs, written only when the call returns a status word (not an error):
 * x_out (n values) the solution, left untouched by a method that runs no
 * solve; y_out (m values) the residual A x - b, or zeros when no solve ran;
 * *res the result record. Any of the three may be null.
 *
 * Returns the status word, the OR of
 *   - the method's own bits. CG: 1 breakdown, 0x10 divergence, 0x20 start
 *     still too far off after one rescaling, 0x22 stopped by a failed
 *     callback or a finding of the residual-history check ("cgnormal",
 *     "cghc", "lsrn*"). Dense least squares: LAPACK's info (negative when
 *     LAPACK refuses its input, for example -5 for a NaN in A; see below).
 *     Preconditioned CG ("cgprenormal"): 2 or 4 breakdown, 0x10, 0x20 as
 *     for CG. MINRES: 0.
 *   - ZELKCOMP_STATUS_CALLBACK_FAILED;
 *   - ZELKCOMP_STATUS_CHECK_FAILED;
 *   - ZELKCOMP_STATUS_SKETCH_FAILED (LSRN methods);
 *   - 256: the method runs no solve on this path (an unknown name, or
 *     "matrixvectorsolve" without a dense A);
 *   - 1 residual not below "tol", 4 iteration limit "maxit" reached, 8 time
 *     limit "maxt" reached, 16 NaN result, 32 infinite result.
 * 0 means converged without incident. A status word is never negative:
 * were it (a negative LAPACK info), it is returned with its sign bit
 * cleared, so it is 2^30 or more, and word - 2^31 is the negative value.
 * ZELKCOMP_ERR_ARGUMENT for a null method, a null b or x0 of positive length,
 * m or n negative or above INT_MAX, m != n for a method that needs a square
 * A, or a null callback the method calls;
 * ZELKCOMP_ERR_INTERNAL for a wrongly typed option (for example an integral
 * "tol") or another failure inside. */
int zelkcomp_linsolve(const char* method, const double* A, const double* b, const double* x0,
                      double* x_out, double* y_out, long m, long n, ExternalVectorCallback A_cb,
                      ExternalVectorCallback AT_cb, ExternalVectorCallback P_cb, void* unused,
                      IterativeResult* res, const char** optnames, const double* optvalues,
                      long nopts, void* context);

/* Largest-magnitude eigenvalue of the symmetric operator A + shift I by the
 * power iteration, reported for A (the Rayleigh quotient of A at the last
 * iterate). A is m x n; when m != n the iteration runs on A^T A instead and
 * the value is that of A^T A. x0 (n values) is the start vector, or null
 * for a random one. On return v_out (n values) holds the last iterate,
 * *eigenvalue the estimate; either may be null, as may res. tol bounds the
 * residual ratio ||B x - q x|| / |q| of a step, maxit the steps. Options as
 * for zelkcomp_linsolve; "dim_m", "dim_n", "tol", "shift", "maxit",
 * "control" and "context" are always taken from the arguments, and a whole
 * "maxt" is taken as a real. Argument 10 is not read; AT is called only
 * when m != n.
 *
 * Returns the status word: 8 the quotient turned non-finite; a failed
 * callback's return code OR 32 (the iteration stops at once; a failure in
 * the final product that gives *eigenvalue is reported too);
 * ZELKCOMP_STATUS_CHECK_FAILED when the iteration ended cleanly but the
 * returned pair is no eigenpair of the unshifted operator (a shift that
 * dwarfs the spectrum lets the shifted iteration stop on any vector); plus
 * 1 residual not below tol, 4 step limit reached, 8 time limit "maxt", 16
 * NaN, 32 infinite residual. The word is never negative: a negative return
 * code of the callback would make it so, and then it comes back with its
 * sign bit cleared (2^30 or more; word - 2^31 is code OR 32 with the other
 * bits). ZELKCOMP_ERR_ARGUMENT for m or n negative or above INT_MAX, a null
 * A, or a null AT when m != n; ZELKCOMP_ERR_INTERNAL for a failure inside
 * (nothing is written then). */
int zelkcomp_maxeigen(const double* x0, double* v_out, long m, long n, double* eigenvalue,
                      ExternalVectorCallback A, ExternalVectorCallback AT, long maxit,
                      IterativeResult* res, void* reserved, const char** optnames,
                      const double* optvalues, long nopts, void* context, double shift,
                      double tol);

/* Eigenvalue of A (or of A^T A when m != n) nearest to -shift, by inverse
 * iteration with a CG solve per step; arguments as for zelkcomp_maxeigen.
 * *maxe, when maxe is not null, is the known largest eigenvalue (used for
 * the accuracy figure printed and as the scale of the closing check); otherwise a host option "maxe" (a whole
 * number is taken as a real), or else it is first computed with the power
 * iteration.
 *
 * Returns the status word: 4 step limit reached, 1 residual not below tol,
 * 2 tol <= 0, 8 non-finite residual; a failed callback's return code OR 32
 * (the iteration stops after the step; a failure in the final product is
 * reported too); 64 the largest eigenvalue could not be computed (then
 * v_out receives the start vector and *eigenvalue is not written); plus the
 * bits listed for zelkcomp_maxeigen. Errors as for zelkcomp_maxeigen. */
int zelkcomp_mineigen(const double* x0, double* v_out, long m, long n, double* eigenvalue,
                      const double* maxe, ExternalVectorCallback A, ExternalVectorCallback AT,
                      long maxit, IterativeResult* res, void* reserved, const char** optnames,
                      const double* optvalues, long nopts, void* context, double shift,
                      double tol);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(IterativeResult) == 56, "IterativeResult crosses the C boundary as 56 bytes");
#endif

#endif /* ZELK_ZELKCOMP_H */
