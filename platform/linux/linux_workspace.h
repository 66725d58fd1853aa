#ifndef VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_
#define VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_

#include <sys/resource.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle_reader.h"
#include "platform/main_loop.h"
#include "platform/workspace.h"

namespace veldane {

// Applications are processes of this user whose executable is the one that
// their bundle's Info.plist names, directly in `<X>.app/Contents/MacOS`.
class LinuxWorkspace final : public Workspace {
 public:
  // Applications start with `openFiles` as their soft limit of open files
  // where given (the one the watchdog itself was started with, before it
  // raised its own), else with the watchdog's.
  LinuxWorkspace(MainLoop& loop, BundleReader& bundles,
                 std::optional<rlim_t> openFiles = std::nullopt);

  std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
  std::vector<RunningApplication> processesRunning(const std::string& executablePath) override;

  // Launches synchronously (until the exec); the completion still comes
  // through the main loop.
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;

 private:
  MainLoop& loop_;
  BundleReader& bundles_;
  std::optional<rlim_t> openFiles_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_
