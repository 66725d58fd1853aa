#include "platform/real_system_probes.h"

#include <signal.h>
#include <unistd.h>

#include "platform/application_support.h"
#include "platform/file_system_room.h"
#include "platform/process_info.h"
#include "platform/same_path.h"
#include "platform/uptime_clock.h"

namespace veldane {

std::optional<std::string> RealSystemProbes::executablePath(int32_t pid) {
  return ProcessInfo::executablePath(pid);
}

bool RealSystemProbes::isTraced(int32_t pid) { return ProcessInfo::isTraced(pid); }

bool RealSystemProbes::isCurrentUsersProcess(int32_t pid) {
  return ProcessInfo::isCurrentUsersProcess(pid);
}

std::optional<Seconds> RealSystemProbes::startUptime(int32_t pid) {
  return ProcessInfo::startUptime(pid);
}

std::string RealSystemProbes::bootSession() { return ProcessInfo::bootSession(); }

std::optional<FileIdentity> RealSystemProbes::fileIdentity(const std::string& path) {
  return FileIdentity::atPath(path);
}

bool RealSystemProbes::samePath(std::string_view a, std::string_view b) {
  return veldane::samePath(a, b);
}

std::optional<std::string> RealSystemProbes::applicationSupportDirectory() {
  return veldane::applicationSupportDirectory();
}

WatchdogDataFacts RealSystemProbes::dataFolderFacts(const std::string& bundlePath) {
  return veldane::dataFolderFacts(bundlePath);
}

bool RealSystemProbes::hasRoomToWrite(const std::string& directory) {
  return veldane::hasRoomToWrite(directory);
}

int32_t RealSystemProbes::ownPid() { return static_cast<int32_t>(::getpid()); }

bool RealSystemProbes::kill(int32_t pid, int signal) { return ::kill(pid, signal) == 0; }

WatchdogDate RealSystemProbes::now() { return std::chrono::system_clock::now(); }

Seconds RealSystemProbes::uptime() { return systemUptime(); }

}  // namespace veldane
