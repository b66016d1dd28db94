#include "linear/cg_settings.h"

CGSettings readCGSettings(const SizedOperator& options) {
  CGSettings s{};
  s.tol = getf_required(options, "tol");
  s.cgreset = geti_required(options, "cgreset");
  s.cgrec = geti_required(options, "cgrec");
  s.cgmode = geti_required(options, "cgmode");
  s.maxit = geti_required(options, "maxit");
  return s;
}
