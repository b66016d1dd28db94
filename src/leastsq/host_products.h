#pragma once
// The host's Jacobian products at the iteration's point (x, r), as the
// closures the matrix-free directions and their step solvers apply. Each
// product is one guarded host call through the task's wrappers, which may
// write F(x) into r.
//
// Every closure has both call forms: the step solvers' op(in, out), with
// out already of the product's length, and the linear solvers' out =
// op(in). The block forms take k vectors one after the other in one host
// call. The closures refer to the task, x and r, which must outlive them;
// a solver refers to its closures, so they are named objects of the
// direction that builds the solver.

#include <valarray>

#include "dense/matrix.h"
#include "leastsq/trovik_task.h"

namespace host_products {

using Vec = std::valarray<double>;

struct Point {
  TrovikOptimizationTask& task;
  const Vec& x;
  Vec& r;
};

}  // namespace host_products

// v (n) -> J v (m).
struct JProduct {
  host_products::Point at;
  void operator()(const host_products::Vec& v, host_products::Vec& out) const {
    at.task.JVeval(at.x, at.r, v, out);
  }
  host_products::Vec operator()(const host_products::Vec& v) const {
    host_products::Vec out(0.0, at.r.size());
    (*this)(v, out);
    return out;
  }
};

// w (m) -> J^T w (n).
struct JTProduct {
  host_products::Point at;
  void operator()(const host_products::Vec& w, host_products::Vec& out) const {
    at.task.VJeval(at.x, at.r, w, out);
  }
  host_products::Vec operator()(const host_products::Vec& w) const {
    host_products::Vec out(0.0, at.x.size());
    (*this)(w, out);
    return out;
  }
};

// k vectors of n entries -> their k products J v (m entries each).
struct JBlockProduct {
  host_products::Point at;
  void operator()(const host_products::Vec& in, host_products::Vec& out) const {
    at.task.JVevalBlock(at.x, at.r, in, out);
  }
};

// k vectors of m entries -> their k products J^T w (n entries each).
struct JTBlockProduct {
  host_products::Point at;
  void operator()(const host_products::Vec& in, host_products::Vec& out) const {
    at.task.VJevalBlock(at.x, at.r, in, out);
  }
};

// The four closures of one point.
struct HostProducts {
  JProduct J;
  JTProduct JT;
  JBlockProduct JB;
  JTBlockProduct JTB;

  HostProducts(TrovikOptimizationTask& task, const host_products::Vec& x, host_products::Vec& r)
      : J{{task, x, r}}, JT{{task, x, r}}, JB{{task, x, r}}, JTB{{task, x, r}} {}
};
