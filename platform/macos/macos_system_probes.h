#ifndef VELDANE_PLATFORM_MACOS_MACOS_SYSTEM_PROBES_H_
#define VELDANE_PLATFORM_MACOS_MACOS_SYSTEM_PROBES_H_

#include "platform/system_probes.h"

namespace veldane {

// The real system's answers: libproc, sysctl, stat(2), NSFileManager and the
// clocks.
class MacosSystemProbes final : public SystemProbes {
 public:
  std::optional<std::string> executablePath(int32_t pid) override;
  bool readExecutablePath(int32_t pid, std::string& path) override;
  bool isTraced(int32_t pid) override;
  bool isCurrentUsersProcess(int32_t pid) override;
  std::optional<double> startUptime(int32_t pid) override;
  std::string bootSession() override;
  std::optional<FileIdentity> fileIdentity(const std::string& path) override;
  // The file systems take the Unicode forms of a name as one name.
  bool samePath(std::string_view a, std::string_view b) override;
  std::optional<std::string> applicationSupportDirectory() override;
  // With the bundle's app group and the App Sandbox.
  WatchdogDataFacts dataFolderFacts(const std::string& bundlePath) override;
  bool hasRoomToWrite(const std::string& directory) override;
  int32_t ownPid() override;
  bool kill(int32_t pid, int signal) override;
  WatchdogDate now() override;
  double uptime() override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_MACOS_SYSTEM_PROBES_H_
