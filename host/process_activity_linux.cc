#include "host/process_activity.h"

namespace veldane {

// Nothing here throttles a background process's timers.
std::unique_ptr<ProcessActivity> beginLatencyCriticalActivity(const char* /*reason*/) {
  return nullptr;
}

}  // namespace veldane
