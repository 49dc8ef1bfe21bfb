// Process-wide execution switches.
#include "execution.h"

#include <omp.h>

Execution& execution() {
  static Execution e;
  return e;
}

int worker_threads() {
  const int t = execution().threads;
  return t > 0 ? t : omp_get_num_procs();
}
