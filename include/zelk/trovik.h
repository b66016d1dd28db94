/* The host callbacks of libzelk's least-squares driver, which drives m
 * residuals r(x) of n variables x towards a minimum of an objective built
 * from them.
 *
 * Every callback gets the host's `user` pointer as its last argument; the
 * return values are not read. Callbacks run under the host's own SIGINT
 * disposition and floating-point trap mask, whatever the driver uses
 * between them. All arrays are contiguous doubles owned by the driver and
 * valid only during the call.
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
 * F(x). */
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

#ifdef __cplusplus
}
#endif

#endif /* ZELK_TROVIK_H */
