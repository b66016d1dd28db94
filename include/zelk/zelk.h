/* The minimisation driver of libzelk: zelk minimises a smooth function of n
 * variables given by host callbacks.
 *
 * Every callback gets the host's `user` pointer as its last argument. Every
 * output of a numeric callback (*f, g, H, w, W) holds zeros when the call
 * starts and the return values are not read: a callback reports a failed
 * evaluation by a NaN or an infinity in its output, which in g, H, w or W
 * ends the process with status 3 ("stop: NaN values encountered" or "stop:
 * Inf values encountered" on standard error) under "enableExit" 1, the
 * default, and with "enableExit" 0 ends the run after that iteration with
 * code 33, zelk returning 1, and which as the objective value makes that
 * point one the run does not step to (zelk returns 1 when no step is left,
 * and at once for the start point).
 *
 * A callback may thus add its terms into its outputs and skip entries it
 * knows to be zero. One that writes nothing hands the driver zeros, and a
 * zero gradient is a stationary point to the driver: the gradient check of
 * the first iteration (on by default, "checkgradient" 0) reports it as
 * "gradient is incorrect: 1", code -1 (the process ends with status 255
 * under "enableExit", else the run with code 33 and zelk returns 1);
 * without the check the run ends at once at the start point with
 * "tolGradAbs reached" and zelk returns 0.
 *
 * Host callbacks run under the host's own floating-point trap mask,
 * whatever the driver uses between them. The driver's signal handlers
 * ("enableSigIntHandler", "enableSigUSR1Handler", "enableSigUSR2Handler")
 * stay installed through the callbacks, so that a signal at any moment
 * stops or saves the run at the end of its iteration; the host's
 * dispositions are back after every return.
 */
#ifndef ZELK_ZELK_H
#define ZELK_ZELK_H

#ifdef __cplusplus
extern "C" {
#endif

/* *f = objective at x (n values); m is 1. */
typedef int (*ZelkObjectiveFn)(const double* x, long n, double* f, long m, void* user);

/* g (n values) = gradient at x; *f may receive the objective value. */
typedef int (*ZelkGradientFn)(const double* x, long n, double* f, long m, double* g, void* user);

/* g (n values) = gradient and H (n x n, row-major) = Hessian at x. */
typedef int (*ZelkHessianFn)(const double* x, long n, double* f, long m, double* g, double* H,
                             void* user);

/* Hessian-matrix product at x: V is an n x k row-major block; the callback
 * writes W = H V (n x k, row-major). w (n values) is room for the gradient
 * at x beside the products and *f for the objective value; the driver uses
 * neither (it only tests w for NaN and infinite values, as it tests W), so
 * a callback may leave both alone: they start as zeros. */
typedef int (*ZelkHessianProductFn)(const double* x, long n, double* f, long m, const double* V,
                                    int k, double* w, double* W, void* user);

/* Called with every record of the run: count keys and values, NUL-terminated
 * texts valid only during the call, keys in byte order. x and *f are the
 * current point and objective; the two reserved pointers are null. A
 * non-zero return from an iteration record stops the run after that
 * iteration. */
typedef int (*ZelkOutputFn)(const double* x, long n, const double* f, long m,
                            const void* reserved1, const void* reserved2, const char** keys,
                            const char** values, long count, void* user);

/* Minimises objective from x0 (n values, 0 < n <= INT_MAX); the final point
 * goes to x (n values) and, when m > 0 and f is not null, its objective to
 * *f. gradient, hessian, hessianProduct and output may be null (finite
 * differences stand in for a missing gradient). Options are count pairs of
 * names and values (a null name ends them early; null names or values mean
 * none).
 *
 * Returns 0 when a tolerance or objective-limit rule ended the run; 1 for
 * the time and iteration limits, a stalled run, an interrupt, the stop
 * file, an error during the run, an inadmissible start value (a NaN or
 * infinite objective at x0), an option value the run cannot work with
 * (named on standard error; no callback runs, whatever "enableExit" says),
 * a call made from inside a running driver call or from inside a component
 * call on the same thread, or an internal failure (the last accepted point
 * is then in x); when the output callback stopped the run, its return
 * value (0 for 1). A call refused before its first iteration (the option
 * value, the start value, the arguments below) leaves x and *f as the host
 * gave them.
 *
 * Errors are reported on standard error and, under "enableExit" 1 (the
 * default), end the process with the error code as its status: 255 for
 * refused arguments (n outside [1, INT_MAX], a null objective, x0 or x)
 * and for a derivative check that fails in the first iteration. With
 * "enableExit" 0 the call returns 1 instead, and an error during the run
 * ends it after that iteration with code 33.
 *
 * The final record's "code" and "exit" name the rule that ended the run:
 * 11 "maxrt reached", 12 "maxit reached", 21 "tolStepAbs reached", 22
 * "tolStepRel reached", 23 "tolEnhAbs reached", 24 "tolEnhRel reached", 25
 * "tolGradAbs reached", 26 "tolGradRel reached", 27 "tolObjAbs reached", 28
 * "tolObjRel reached", 29 "objLimRel reached", 30 "user interrupt", 31 "stop
 * file exists", 32 "stop code set", 33 "error occurred", and
 *   34 "stalled before a stationary point" (status 1): an iteration made
 *      no progress (no step lowered the objective by more than twice its
 *      noise, or the step was too short to change x) at a point that is
 *      not stationary: the Hessian promises a decrease above the noise of
 *      the objective there (or has a direction of negative curvature),
 *      the values tried rose in proportion to the step, or, without a
 *      Hessian, the gradient would have shown in the steps tried (for a
 *      variable no step moved: moving it alone would gain more than the
 *      noise), or without any step that shows something the gradient is
 *      not negligible on each variable's own scale; or no step could be
 *      tried at all. The noise is f's rounding where that settles it;
 *      elsewhere it is measured from f's values at 6 points on a line
 *      through x, and on up to four more lines where that spacing cannot
 *      tell it (6 to 30 objective evaluations, once per point, and 2 more
 *      for the curvature along variables no step moved);
 *   35 "stalled on a non-finite objective" (status 1): the same where the
 *      objective at x, or at every step tried, was NaN or infinite.
 * A stalled iteration ends the run unless the next one can search another
 * direction: the nonlinear-CG direction is restarted as -g once, the
 * matrix-free Newton direction gets up to 10 stalled iterations in a row
 * while its shift still changes, and with line searches ("alpha" 0) and
 * "enableFallback" on, a stall with one of the kinds of "sdirs" gives the
 * fallback kinds the next iteration. 30 to 32 come first. The rules on the
 * step (21 to 24, 26) do not hold in a stalled iteration; those on the
 * point (25, 27 to 29) do. No progress at a point where nothing is left
 * above the objective's noise is convergence, and the tolerance rules end
 * the run as usual.
 *
 * One driver call runs at a time in the process (zelk and trovik share the
 * lock); it starts once the solver calls of zelkcomp.h running on other
 * threads have ended, and refuses those made on other threads while it runs
 * (ZELKCOMP_ERR_BUSY). The host's exception flags, trap mask and signal
 * dispositions are as they were after every return. */
int zelk(const double* x0, double* x, long n, double* f, long m, ZelkObjectiveFn objective,
         ZelkGradientFn gradient, void* reserved, ZelkHessianFn hessian,
         ZelkHessianProductFn hessianProduct, ZelkOutputFn output, const char** names,
         const double* values, long count, void* user);

#ifdef __cplusplus
}
#endif

#endif /* ZELK_ZELK_H */
