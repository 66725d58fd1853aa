#ifndef VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_
#define VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_

#include <sys/resource.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle_reader.h"
#include "platform/log_channel.h"
#include "platform/main_loop.h"
#include "platform/workspace.h"

namespace veldane {

// Applications are processes of this user whose executable is the one that
// their bundle's Info.plist names, directly in `<X>.app/Contents/MacOS`. Where
// the user's service manager can be reached, an opened application runs in a
// scope of its own, as a desktop launcher starts it.
class LinuxWorkspace final : public Workspace {
 public:
  // Applications start with `openFiles` as their soft limit of open files
  // where given (the one the watchdog itself was started with, before it
  // raised its own), else with the watchdog's. `log` (weak, optional) hears
  // once why an application could not have a scope of its own.
  LinuxWorkspace(MainLoop& loop, BundleReader& bundles,
                 std::optional<rlim_t> openFiles = std::nullopt, LogChannel* log = nullptr);

  std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
  std::vector<RunningApplication> processesRunning(const std::string& executablePath) override;

  // Launches synchronously (until the exec, after the manager has made the
  // scope, or has not within a bound); the completion still comes through
  // the main loop.
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;

 private:
  MainLoop& loop_;
  BundleReader& bundles_;
  std::optional<rlim_t> openFiles_;
  LogChannel* log_;
  bool toldWhyNoScope_ = false;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LINUX_WORKSPACE_H_
