// The exported entry point of the least-squares driver. No exception leaves
// it: a failure inside the run is reported on standard error and answered
// with status 1.

#include "driver/driver_call.h"
#include "leastsq/trovik_run.h"
#include "zelk/trovik.h"

extern "C" int trovik(const double* x0, double* x, size_t n, double* r, size_t m,
                      TrovikResidualFn residual, TrovikJacobianFn jacobian, TrovikJvFn jv,
                      TrovikVJFn vj, void* /*reserved*/, TrovikIterationFn iteration,
                      const char** optnames, const double* optvalues, long noptions,
                      void* userdata) {
  return runDriverCall("trovik", [&] {
    TrovikCall call;
    call.x0 = x0;
    call.x = x;
    call.n = n;
    call.r = r;
    call.m = m;
    call.residual = residual;
    call.jacobian = jacobian;
    call.jv = jv;
    call.vj = vj;
    call.iteration = iteration;
    call.names = optnames;
    call.values = optvalues;
    call.count = noptions;
    call.user = userdata;
    return runTrovik(call);
  });
}
