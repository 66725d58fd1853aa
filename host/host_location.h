#ifndef VELDANE_HOST_HOST_LOCATION_H_
#define VELDANE_HOST_HOST_LOCATION_H_

#include <cstdint>
#include <optional>
#include <string>

#include "host/host_start_options.h"
#include "state/watchdog_files.h"

namespace veldane {

// Where this process stands as the watchdog sees it: its executable, its
// bundle and identifier, and the data folder the watchdog derives from them.
struct HostLocation {
  std::string executablePath;  // normalised
  std::string bundlePath;      // normalised
  std::string bundleIdentifier;
  WatchdogFiles files;

  // Absent, with the reason in `failure`, when a piece cannot be found.
  // `pid` is this process's pid as /proc shows it.
  static std::optional<HostLocation> find(const internal::HostStartOptions& options, int32_t pid,
                                          std::string& failure);

  // The bundle alone, normalised: `given` resolved, or without it the .app
  // bundle around this process's executable, as find() takes them. Absent,
  // with the reason in `failure`, when there is none.
  static std::optional<std::string> bundleOf(const char* given, std::string& failure);
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_LOCATION_H_
