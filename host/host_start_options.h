#ifndef VELDANE_HOST_HOST_START_OPTIONS_H_
#define VELDANE_HOST_HOST_START_OPTIONS_H_

#include <chrono>
#include <optional>
#include <string>

namespace veldane::internal {

// What an application chooses at start (veldane_host_options in host.h).
struct HostStartOptions {
  // When absent or empty: CFBundleIdentifier of the bundle's Info.plist.
  std::optional<std::string> bundleIdentifier;
  // When absent: the .app bundle whose Contents/MacOS folder holds this
  // process's executable. Symbolic links in it are resolved, as the watchdog
  // finds its bundle by its own resolved path.
  std::optional<std::string> bundlePath;
  // Beats closer than this to the last written heartbeat write nothing.
  std::chrono::milliseconds minimumBeatInterval{250};
};

}  // namespace veldane::internal

#endif  // VELDANE_HOST_HOST_START_OPTIONS_H_
