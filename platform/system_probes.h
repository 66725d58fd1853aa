#ifndef VELDANE_PLATFORM_SYSTEM_PROBES_H_
#define VELDANE_PLATFORM_SYSTEM_PROBES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_identity.h"
#include "state/seconds.h"
#include "state/watchdog_data_root.h"
#include "state/watchdog_date.h"

namespace veldane {

// The process, boot, file and clock facts that the supervisor asks for,
// behind an interface so that tests can simulate them. The real one forwards
// to ProcessInfo, FileIdentity, applicationSupportDirectory and the clocks.
class SystemProbes {
 public:
  virtual ~SystemProbes() = default;

  virtual std::optional<std::string> executablePath(int32_t pid) = 0;
  virtual bool isTraced(int32_t pid) = 0;
  // Whether `pid` names a whole process (no single thread of one) that runs
  // as the watchdog's own user; no other is ever taken for the host, and so
  // none is ever signalled.
  virtual bool isCurrentUsersProcess(int32_t pid) = 0;
  // When process `pid` started, on the clock of uptime(); absent for no process.
  virtual std::optional<Seconds> startUptime(int32_t pid) = 0;
  virtual std::string bootSession() = 0;
  virtual std::optional<FileIdentity> fileIdentity(const std::string& path) = 0;
  // Whether two normalised paths name the same file (platform/same_path.h).
  virtual bool samePath(std::string_view a, std::string_view b) = 0;
  virtual std::optional<std::string> applicationSupportDirectory() = 0;
  // What decides the data folder of the bundle at `bundlePath`
  // (dataFolderFacts in platform/application_support.h). By default that of
  // a platform without sandbox or app groups.
  virtual WatchdogDataFacts dataFolderFacts(const std::string& /*bundlePath*/) {
    WatchdogDataFacts facts;
    facts.applicationSupport = applicationSupportDirectory();
    return facts;
  }
  // Whether a file can be written into `directory` now (space, inodes, a
  // writable file system); true when that cannot be told.
  virtual bool hasRoomToWrite(const std::string& directory) = 0;
  virtual int32_t ownPid() = 0;
  // kill(2); used only for a process that no exit watch holds.
  virtual bool kill(int32_t pid, int signal) = 0;

  virtual WatchdogDate now() = 0;
  virtual Seconds uptime() = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_SYSTEM_PROBES_H_
