#ifndef VELDANE_PLATFORM_APPLICATION_SUPPORT_H_
#define VELDANE_PLATFORM_APPLICATION_SUPPORT_H_

#include <optional>
#include <string>

#include "state/watchdog_data_root.h"

namespace veldane {

// The per-user folder for application data; absent when there is none. On
// Linux: $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share,
// else the passwd home directory + "/.local/share". On macOS: NSFileManager's
// application-support folder of the user domain (~/Library/Application
// Support, or inside the App Sandbox the one in the app's container). Not
// created here.
std::optional<std::string> applicationSupportDirectory();

// What decides, for this process, the data folder of the bundle at
// `bundlePath` (WatchdogDataRoot::choose). On Linux applicationSupportDirectory()
// alone: no sandbox, no app group. On macOS also the bundle's app group
// (WatchdogDataRoot::kAppGroupKey in its Info.plist), that group's container,
// made when missing and given only when this process may use it, and whether
// this process runs in the App Sandbox. Any thread.
WatchdogDataFacts dataFolderFacts(const std::string& bundlePath);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_APPLICATION_SUPPORT_H_
