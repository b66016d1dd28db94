/* The host callbacks of libzelk's least-squares driver, which drives m
 * residuals r(x) of n variables x towards a minimum of an objective built
 * from them.
 *
 * Every callback gets the host's `user` pointer as its last argument. The
 * outputs r of the residual function, J and out hold zeros when each call
 * starts and the return values are not read: a callback reports a failed
 * evaluation by a NaN or an infinity in its output, which in J ends the
 * process with status 3 ("stop: NaN values encountered" or "stop: Inf
 * values encountered" on standard error) under "enableExit" 1, the
 * default, and with "enableExit" 0 ends the run after that iteration with
 * code 33, trovik returning 1; which in a residual makes that point one
 * the run does not step to; and which in a product spoils the direction it
 * was for, whatever "enableExit" says (trovik returns 1 when no step is
 * left, code 34 or 35, and at once for a start point with a failed
 * residual).
 *
 * A callback may thus add its terms into its outputs and skip the entries
 * of a sparse Jacobian that are zero. One that writes nothing hands the
 * driver zeros, and a zero Jacobian is a stationary point to the driver:
 * the Jacobian check of the first iteration (on by default,
 * "checkgradient" 0) reports it as "Jacobian is incorrect: 1", code -1
 * (the process ends with status 255 under "enableExit", else the run with
 * code 33 and trovik returns 1); without the check the run ends at once at
 * the start point with "tolGradAbs reached" and trovik returns 0.
 *
 * Callbacks run under the host's own floating-point trap mask, whatever
 * the driver uses between them; the driver's signal handlers stay
 * installed through them (see below). All arrays are contiguous doubles
 * owned by the driver and valid only during the call.
 */
#ifndef ZELK_TROVIK_H
#define ZELK_TROVIK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* r (m values) = F(x). */
typedef int (*TrovikResidualFn)(const double* x, size_t n, double* r, size_t m, void* user);

/* J (m x n, row-major) = the Jacobian of F at x; r (m values) receives
 * F(x). r holds F at the driver's current point when the call starts (zeros
 * in the first iteration's checks, which compare what the callback writes
 * there with the residual function); the same holds for the products. */
typedef int (*TrovikJacobianFn)(const double* x, size_t n, double* r, size_t m, double* J,
                                void* user);

/* Jacobian-vector products at x: v holds count vectors of n values one after
 * the other, out receives the count products J v_i (m values each) in the
 * same order; r (m values) receives F(x). */
typedef int (*TrovikJvFn)(const double* x, size_t n, double* r, size_t m, const double* v,
                          long count, double* out, void* user);

/* Vector-Jacobian products at x: w holds count vectors of m values one after
 * the other, out receives the count products J^T w_i (n values each) in the
 * same order; r (m values) receives F(x). */
typedef int (*TrovikVJFn)(const double* x, size_t n, double* r, size_t m, const double* w,
                          long count, double* out, void* user);

/* Called with every record of the run: count keys and values,
 * NUL-terminated texts in byte order of the keys, valid only during the call.
 * x and r are the point and residuals the record belongs to (either may be
 * empty, with a null pointer); the two reserved pointers are null. */
typedef int (*TrovikIterationFn)(const double* x, size_t n, const double* r, size_t m,
                                 const void* reserved1, const void* reserved2, const char** keys,
                                 const char** values, long count, void* user);

/* Drives the m residuals r(x) of n variables towards a minimum of the
 * objective the option "ussum" builds from them (by default
 * 1000 ||r||_2 / m), from the start point x0 (n values).
 *
 * The host gives the residual function and either the dense Jacobian or
 * both products (jv and vj); the others may be null. Argument 10 is not
 * read. Every record of the run (start, run information, derivative
 * checks, one per iteration, counters, final) goes to `iteration`, which
 * may be null. Options come as parallel arrays of names and values, read up
 * to noptions pairs or the first null name; names that are no option are
 * ignored, and null arrays mean no options. While the run goes on, a
 * monitor on HTTP_PORT serves its options, status, point, residuals and
 * records.
 *
 * Outputs: r (m values) receives, after every iteration, the residuals of
 * the point the iteration ended on; x (n values) receives the result point
 * at the end of the run. With "saveLast" (the default) the point is saved
 * to "zelk-current.mat" in the working directory.
 *
 * Returns 0 when a tolerance or objective-limit rule ended the run; 1 for
 * the time and iteration limits, a stalled run, an interrupt (SIGINT,
 * SIGUSR2), the stop file "stop.txt" (with "enableStopFile"), a recorded
 * error, an inadmissible start value (NaN or infinite objective), an option
 * value the run cannot work with (named on standard error; no callback
 * runs, whatever "enableExit" says), a failure inside the library, or a
 * call from inside a callback of a running driver call or from inside a
 * component call on the same thread. A call refused before its first
 * iteration (the option value, the start value, the arguments and the
 * missing derivatives below) leaves x and r as the host gave them.
 *
 * Errors are reported on standard error (through the host's error
 * handler) and, under "enableExit" 1 (the default), end the process with
 * the error code as its status: 255 for refused arguments (n or m 0 or
 * above INT_MAX, a null x0, x, r or residual function), for neither the
 * Jacobian nor both products given (after the residuals at x0), and for a
 * derivative check that fails in the first iteration. With "enableExit" 0
 * the call returns 1 instead, -1 for the missing derivatives, and an error
 * during the run ends it after that iteration with code 33.
 *
 * The final record's "code" and "exit" name the rule that ended the run,
 * with the codes of zelk.h but 32 (the iteration callback's answer is not
 * read). A run stalls (34 "stalled before a stationary point", 35 "stalled
 * on a non-finite objective", status 1) when an iteration makes no
 * progress (no step lowered the objective by more than twice its noise)
 * at a point that is not stationary: the part of r in the range of J (of
 * the weights w = dF/dr for the sums of "ussum"), the part the full
 * Gauss-Newton step would remove, is more than the residuals' own noise
 * puts there, and removing it would change ||r|| by more than that noise
 * does; and the steps tried do not show the point stationary either (the
 * Gauss-Newton model leaves out the residuals' curvature), or no step
 * could be tried. The residuals' noise is their rounding where that
 * settles it; elsewhere it is measured from their values at 6 points on a
 * line through x, and on up to four more lines where that spacing cannot
 * tell it (6 to 30 residual evaluations, once per point). With the
 * products alone the range part comes from at most 2n + 1 products. The
 * first such iteration ends the run (after 30 and 31), but the
 * trust-region direction gets up to 10 in a row while its radius still
 * changes. The rules on the step (21 to 24, 26) do not hold in it, nor
 * after a trust-region step as long as the radius let it be, nor after a
 * step that took less than a hundredth of the decrease the Gauss-Newton
 * model promised at a point that is not stationary; those on the point
 * (25, 27 to 29) do.
 *
 * One driver call runs at a time in the process (zelk and trovik share the
 * lock); it starts once the solver calls of zelkcomp.h running on other
 * threads have ended, and refuses those made on other threads while it runs
 * (ZELKCOMP_ERR_BUSY). Callbacks run on the calling thread with the host's
 * own trap mask. While the run goes on, SIGINT (with "enableSigIntHandler"),
 * SIGUSR1 and SIGUSR2 (with their options, on by default) are the run's,
 * callbacks included: each stops or saves the run at the end of its
 * iteration. The host's signal dispositions, trap mask and exception flags
 * are as they were after every return. */
int trovik(const double* x0, double* x, size_t n, double* r, size_t m, TrovikResidualFn residual,
           TrovikJacobianFn jacobian, TrovikJvFn jv, TrovikVJFn vj, void* reserved,
           TrovikIterationFn iteration, const char** optnames, const double* optvalues,
           long noptions, void* userdata);

#ifdef __cplusplus
}
#endif

#endif /* ZELK_TROVIK_H */
