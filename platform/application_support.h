#ifndef VELDANE_PLATFORM_APPLICATION_SUPPORT_H_
#define VELDANE_PLATFORM_APPLICATION_SUPPORT_H_

#include <optional>
#include <string>

namespace veldane {

// The per-user folder for application data; absent when there is none. On
// Linux: $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share,
// else the passwd home directory + "/.local/share". On macOS: NSFileManager's
// application-support folder of the user domain (~/Library/Application
// Support). Not created here.
std::optional<std::string> applicationSupportDirectory();

}  // namespace veldane

#endif  // VELDANE_PLATFORM_APPLICATION_SUPPORT_H_
