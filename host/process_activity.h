#ifndef VELDANE_HOST_PROCESS_ACTIVITY_H_
#define VELDANE_HOST_PROCESS_ACTIVITY_H_

#include <memory>

namespace veldane {

// One request, held while the object lives, that the system keep this
// process's timers on time and its priority up (on macOS: no App Nap).
class ProcessActivity {
 public:
  virtual ~ProcessActivity() = default;
};

// Begins such a request, with `reason` for the system's diagnostics; null
// where the system throttles nothing (Linux) or refuses. Any thread.
std::unique_ptr<ProcessActivity> beginLatencyCriticalActivity(const char* reason);

}  // namespace veldane

#endif  // VELDANE_HOST_PROCESS_ACTIVITY_H_
