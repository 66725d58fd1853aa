#ifndef VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_
#define VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_

#include <string>
#include <vector>

#include "platform/workspace.h"

namespace veldane {

// NSWorkspace and NSRunningApplication, with the process table for what they
// do not tell (a process's group and session, programs that are no
// registered application). Opening a bundle takes the open
// configuration of a background relaunch: not activated, not added to the
// recent items, no second instance, no prompt, the arguments unchanged.
class MacosWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
  std::vector<RunningApplication> processesRunning(const std::string& executablePath) override;

  // Returns at once; the workspace's completion, which may come on any
  // thread, only hands the error's localized description to the main queue.
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_
