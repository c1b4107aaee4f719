#include "app/worker_threads.h"

#include <unistd.h>

#include <cstdlib>

namespace vistarium::app {

void UsePassiveWorkerThreads(char** argv) {
  if (std::getenv("OMP_WAIT_POLICY") != nullptr) return;
  if (setenv("OMP_WAIT_POLICY", "PASSIVE", 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not started again (no /proc): the default policy stays.
}

}  // namespace vistarium::app
