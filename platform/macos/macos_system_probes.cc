#include "platform/macos/macos_system_probes.h"

#include <signal.h>
#include <unistd.h>

#include "platform/application_support.h"
#include "platform/file_system_room.h"
#include "platform/host_process_info.h"
#include "platform/uptime_clock.h"
#include "state/unicode_text.h"

namespace veldane {

std::optional<std::string> MacosSystemProbes::executablePath(int32_t pid) {
  return HostProcessInfo::executablePath(pid);
}

bool MacosSystemProbes::readExecutablePath(int32_t pid, std::string& path) {
  return HostProcessInfo::readExecutablePath(pid, path);
}

bool MacosSystemProbes::isTraced(int32_t pid) { return HostProcessInfo::isTraced(pid); }

bool MacosSystemProbes::isCurrentUsersProcess(int32_t pid) {
  return HostProcessInfo::isCurrentUsersProcess(pid);
}

bool MacosSystemProbes::samePath(std::string_view a, std::string_view b) {
  return UnicodeText::equal(a, b);
}

std::optional<double> MacosSystemProbes::startUptime(int32_t pid) {
  return HostProcessInfo::startUptime(pid);
}

std::string MacosSystemProbes::bootSession() { return HostProcessInfo::bootSession(); }

std::optional<FileIdentity> MacosSystemProbes::fileIdentity(const std::string& path) {
  return FileIdentity::atPath(path);
}

std::optional<std::string> MacosSystemProbes::applicationSupportDirectory() {
  return veldane::applicationSupportDirectory();
}

WatchdogDataFacts MacosSystemProbes::dataFolderFacts(const std::string& bundlePath) {
  return veldane::dataFolderFacts(bundlePath);
}

bool MacosSystemProbes::hasRoomToWrite(const std::string& directory) {
  return veldane::hasRoomToWrite(directory);
}

int32_t MacosSystemProbes::ownPid() { return static_cast<int32_t>(::getpid()); }

bool MacosSystemProbes::kill(int32_t pid, int signal) { return ::kill(pid, signal) == 0; }

WatchdogDate MacosSystemProbes::now() { return std::chrono::system_clock::now(); }

double MacosSystemProbes::uptime() { return systemUptime(); }

std::unique_ptr<SystemProbes> systemProbes() { return std::make_unique<MacosSystemProbes>(); }

}  // namespace veldane
