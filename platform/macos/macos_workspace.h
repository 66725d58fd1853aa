#ifndef VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_
#define VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_

#include <string>
#include <vector>

#include "platform/workspace.h"

namespace veldane {

// NSWorkspace and NSRunningApplication. Opening a bundle takes the open
// configuration of a background relaunch: not activated, not added to the
// recent items, no second instance, no prompt, the arguments unchanged.
class MacosWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;

  // Returns at once; the workspace's completion, which may come on any
  // thread, only hands the error's localized description to the main queue.
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_MACOS_WORKSPACE_H_
