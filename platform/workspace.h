#ifndef VELDANE_PLATFORM_WORKSPACE_H_
#define VELDANE_PLATFORM_WORKSPACE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "state/seconds.h"

namespace veldane {

// A running instance of an application.
struct RunningApplication {
  int32_t pid = 0;
  bool terminated = false;
  std::optional<std::string> bundlePath;  // where it was started from
  // Where the platform tells them (else 0): a process whose group or
  // session is named after an ended host run was left behind by that run.
  int32_t processGroup = 0;
  int32_t session = 0;
  // When it started, on the uptime clock, where the platform tells.
  std::optional<Seconds> startUptime = std::nullopt;

  friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// The desktop's view of applications: which run, and opening one.
class Workspace {
 public:
  // Called once with nothing on success, or with a readable error text.
  using OpenCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~Workspace() = default;

  // The running applications that carry `bundleIdentifier`, in no set order.
  virtual std::vector<RunningApplication> runningApplications(
      const std::string& bundleIdentifier) = 0;

  // The running processes of this user whose executable is `executablePath`
  // (normalised), such as the program behind a wrapper script that the host's
  // run record names. Empty where the list of applications covers them.
  virtual std::vector<RunningApplication> processesRunning(const std::string& /*executablePath*/) {
    return {};
  }

  // Starts the bundle's main executable in the background with `arguments`,
  // detached from the caller. `completion` is delivered on the main loop.
  virtual void openApplication(const std::string& bundlePath,
                               const std::vector<std::string>& arguments,
                               OpenCompletion completion) = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_WORKSPACE_H_
