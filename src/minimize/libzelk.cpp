// The exported entry point of the minimisation driver. No exception leaves
// it: a failure inside the run is reported on standard error and answered
// with status 1, the last accepted point already in x.

#include "driver/driver_call.h"
#include "minimize/zelk_run.h"
#include "zelk/zelk.h"

extern "C" int zelk(const double* x0, double* x, long n, double* f, long m,
                    ZelkObjectiveFn objective, ZelkGradientFn gradient, void* /*reserved*/,
                    ZelkHessianFn hessian, ZelkHessianProductFn hessianProduct,
                    ZelkOutputFn output, const char** names, const double* values, long count,
                    void* user) {
  return runDriverCall("zelk", [&] {
    ZelkCall call;
    call.x0 = x0;
    call.x = x;
    call.n = n;
    call.f = f;
    call.m = m;
    call.objective = objective;
    call.gradient = gradient;
    call.hessian = hessian;
    call.hessianProduct = hessianProduct;
    call.output = output;
    call.names = names;
    call.values = values;
    call.count = count;
    call.user = user;
    return runMinimization(call);
  });
}
