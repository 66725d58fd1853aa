#ifndef VELDANE_STATE_WATCHDOG_DATA_ROOT_H_
#define VELDANE_STATE_WATCHDOG_DATA_ROOT_H_

#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// What a process knows that decides where the data folders live: the host and
// the watchdog each gather these for the same bundle and must come to the
// same folder, although only the host may run in the App Sandbox.
struct WatchdogDataFacts {
  // The platform's per-user application-support folder as this process sees
  // it: inside the sandbox, the host's own container.
  std::optional<std::string> applicationSupport;
  // The app group that the bundle names (Info.plist key kAppGroupKey), as
  // written there.
  std::optional<std::string> appGroup;
  // The system's shared container of that group, when this process can use it.
  std::optional<std::string> groupContainer;
  bool sandboxed = false;

  friend bool operator==(const WatchdogDataFacts&, const WatchdogDataFacts&) = default;
};

// The folder under which WatchdogFiles::forBundle puts a bundle's files, or
// why there is none that the host and the watchdog would both use.
//
//   WatchdogDataRoot root = WatchdogDataRoot::choose(dataFolderFacts(bundlePath));
//   if (root.directory) files = WatchdogFiles::forBundle(*root.directory, id, bundlePath);
struct WatchdogDataRoot {
  static constexpr const char* kAppGroupKey = "VeldaneAppGroup";

  std::optional<std::string> directory;
  std::string failure;  // empty when there is a directory

  // A bundle that names an app group keeps its files in the group's container
  // (its Library/Application Support), sandboxed or not, so that a sandboxed
  // host and the watchdog outside the sandbox meet there. Without one, the
  // application-support folder, which a sandboxed process sees inside its own
  // container, where the watchdog never looks: refused. Pure.
  static WatchdogDataRoot choose(const WatchdogDataFacts& facts);

  // Whether the process runs in the App Sandbox, from what it can see of it:
  // the sandbox's APP_SANDBOX_CONTAINER_ID (null when unset), or a home folder
  // inside the account's Library/Containers. Pure.
  static bool looksSandboxed(const char* containerIDVariable, std::string_view home,
                             std::string_view accountHome);

  friend bool operator==(const WatchdogDataRoot&, const WatchdogDataRoot&) = default;
};

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_DATA_ROOT_H_
