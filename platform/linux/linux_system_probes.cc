#include "platform/linux/linux_system_probes.h"

#include <signal.h>
#include <unistd.h>

#include "platform/application_support.h"
#include "platform/file_system_room.h"
#include "platform/host_process_info.h"
#include "platform/uptime_clock.h"

namespace veldane {

std::optional<std::string> LinuxSystemProbes::executablePath(int32_t pid) {
  return HostProcessInfo::executablePath(pid);
}

bool LinuxSystemProbes::readExecutablePath(int32_t pid, std::string& path) {
  return HostProcessInfo::readExecutablePath(pid, path);
}

bool LinuxSystemProbes::isTraced(int32_t pid) { return HostProcessInfo::isTraced(pid); }

bool LinuxSystemProbes::isCurrentUsersProcess(int32_t pid) {
  return HostProcessInfo::isCurrentUsersProcess(pid);
}

std::optional<double> LinuxSystemProbes::startUptime(int32_t pid) {
  return HostProcessInfo::startUptime(pid);
}

std::string LinuxSystemProbes::bootSession() { return HostProcessInfo::bootSession(); }

std::optional<FileIdentity> LinuxSystemProbes::fileIdentity(const std::string& path) {
  return FileIdentity::atPath(path);
}

std::optional<std::string> LinuxSystemProbes::applicationSupportDirectory() {
  return veldane::applicationSupportDirectory();
}

bool LinuxSystemProbes::hasRoomToWrite(const std::string& directory) {
  return veldane::hasRoomToWrite(directory);
}

int32_t LinuxSystemProbes::ownPid() { return static_cast<int32_t>(::getpid()); }

bool LinuxSystemProbes::kill(int32_t pid, int signal) { return ::kill(pid, signal) == 0; }

WatchdogDate LinuxSystemProbes::now() { return std::chrono::system_clock::now(); }

double LinuxSystemProbes::uptime() { return systemUptime(); }

std::unique_ptr<SystemProbes> systemProbes() { return std::make_unique<LinuxSystemProbes>(); }

}  // namespace veldane
