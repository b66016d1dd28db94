#include "driver/run_records.h"

#include <cblas.h>

#include <cstdlib>

#include "dense/quiet_scope.h"
#include "options/error_exit.h"
#include "options/global_state.h"
#include "options/opts.h"

void setReferenceValues(OutputRecord& r) {
  if ((opts.trace & 0x1) == 0) return;
  if (opts.aux0 > 0) setRecord(r, "Jbias", static_cast<double>(opts.aux0));
  if (opts.aux1 > 0) setRecord(r, "Jmin", static_cast<double>(opts.aux1));
  if (opts.aux2 > 0) setRecord(r, "Jmax", static_cast<double>(opts.aux2));
  setRecord(r, "Jbest", static_cast<double>(opts.aux3));
}

OutputRecord runInfoRecord(const char* version) {
  OutputRecord r;
  setRecord(r, "version", version);
  if ((opts.trace & 0x100) && std::getenv("INFO") != nullptr) {
    setRecord(r, "file", into[0]);
    setRecord(r, "date", into[1]);
    setRecord(r, "time", into[2]);
    setRecord(r, "march", into[3]);
  }
  return r;
}

OutputRecord blasRecord() {
  OutputRecord r;
  setRecord(r, "OpenBLAS", " OpenBLAS 0.3.29 ");
  setRecord(r, "core", openblas_get_corename());
  setRecord(r, "config", openblas_get_config());
  setRecord(r, "np", openblas_get_num_procs());
  setRecord(r, "nt", openblas_get_num_threads());
  setRecord(r, "par", openblas_get_parallel());
  return r;
}

double enhancementPerMille(double enh, double fStart) {
  if (fStart == 0.0) return 0.0;
  return quietly([&] { return 1000.0 * enh / fStart; });
}

OutputRecord finalRecord(double f, long iteration, int status, int code, const std::string& exit) {
  OutputRecord r;
  setRecord(r, "J", f);
  setRecord(r, "it", static_cast<long long>(iteration));
  setRecord(r, "status", status);
  setRecord(r, "code", code);
  setRecord(r, "exit", exit);
  return r;
}
