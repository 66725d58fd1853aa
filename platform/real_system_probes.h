#ifndef VELDANE_PLATFORM_REAL_SYSTEM_PROBES_H_
#define VELDANE_PLATFORM_REAL_SYSTEM_PROBES_H_

#include "platform/system_probes.h"

namespace veldane {

// The real system's answers, from the free functions that each system's
// folder defines: ProcessInfo, FileIdentity, samePath, the application
// support folder, the room to write and the clocks.
class RealSystemProbes final : public SystemProbes {
 public:
  std::optional<std::string> executablePath(int32_t pid) override;
  bool isTraced(int32_t pid) override;
  bool isCurrentUsersProcess(int32_t pid) override;
  std::optional<Seconds> startUptime(int32_t pid) override;
  std::string bootSession() override;
  std::optional<FileIdentity> fileIdentity(const std::string& path) override;
  bool samePath(std::string_view a, std::string_view b) override;
  std::optional<std::string> applicationSupportDirectory() override;
  WatchdogDataFacts dataFolderFacts(const std::string& bundlePath) override;
  bool hasRoomToWrite(const std::string& directory) override;
  int32_t ownPid() override;
  bool kill(int32_t pid, int signal) override;
  WatchdogDate now() override;
  Seconds uptime() override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_REAL_SYSTEM_PROBES_H_
