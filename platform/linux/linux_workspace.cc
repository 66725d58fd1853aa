#include "platform/linux/linux_workspace.h"

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "platform/host_process_info.h"
#include "platform/linux/process_launcher.h"
#include "state/unicode_text.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

std::optional<int32_t> parsePid(std::string_view name) {
  int32_t pid = 0;
  auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (error != std::errc() || end != name.data() + name.size() || pid < 1) return std::nullopt;
  return pid;
}

std::vector<int32_t> listPids() {
  std::vector<int32_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = readdir(proc)) {
    if (std::optional<int32_t> pid = parsePid(entry->d_name)) pids.push_back(*pid);
  }
  closedir(proc);
  return pids;
}

struct ProcessStatus {
  uid_t realUid = 0;
  bool zombie = false;
};

std::optional<ProcessStatus> readStatus(int32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  if (!in) return std::nullopt;
  ProcessStatus status;
  bool haveUid = false;
  std::string key;
  while (in >> key) {
    if (key == "State:") {
      std::string state;
      in >> state;
      status.zombie = state == "Z";
    } else if (key == "Uid:") {
      unsigned long uid = 0;
      if (!(in >> uid)) return std::nullopt;
      status.realUid = static_cast<uid_t>(uid);
      haveUid = true;
      break;  // Uid follows State; nothing further is needed
    }
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  if (!haveUid) return std::nullopt;
  return status;
}

std::string fileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(MainLoop& loop, BundleReader& bundles)
    : loop_(loop), bundles_(bundles) {}

std::vector<RunningApplication> LinuxWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<RunningApplication> found;
  std::map<std::string, std::optional<BundleInfo>> bundleCache;
  const uid_t ourUid = getuid();
  for (int32_t pid : listPids()) {
    std::optional<ProcessStatus> status = readStatus(pid);
    if (!status || status->realUid != ourUid) continue;
    std::optional<std::string> executable = HostProcessInfo::executablePath(pid);
    if (!executable) continue;
    std::string path = WatchdogFiles::normalized(*executable);
    std::optional<std::string> bundle = WatchdogFiles::hostBundlePath(path);
    if (!bundle) continue;
    auto cached = bundleCache.find(*bundle);
    if (cached == bundleCache.end()) {
      cached = bundleCache.emplace(*bundle, bundles_.open(*bundle)).first;
    }
    const std::optional<BundleInfo>& info = cached->second;
    // Helpers beside the main executable (the watchdog among them) are not the application.
    if (!info || !info->identifier || !info->executableName ||
        !UnicodeText::equal(*info->identifier, bundleIdentifier) ||
        *info->executableName != fileName(path)) {
      continue;
    }
    found.push_back({.pid = pid, .terminated = status->zombie, .bundlePath = *bundle});
  }
  return found;
}

void LinuxWorkspace::openApplication(const std::string& bundlePath,
                                     const std::vector<std::string>& arguments,
                                     OpenCompletion completion) {
  std::optional<std::string> error;
  std::optional<BundleInfo> info = bundles_.open(bundlePath);
  if (!info) {
    error = bundlePath + ": cannot open the application bundle (no readable Contents/Info.plist)";
  } else if (!info->executableName || info->executableName->empty() ||
             info->executableName->find('/') != std::string::npos) {
    error = bundlePath +
            ": cannot open the application bundle (Contents/Info.plist names no valid "
            "CFBundleExecutable)";
  } else {
    error = ProcessLauncher::launchDetached(bundlePath + "/Contents/MacOS/" + *info->executableName,
                                            arguments);
  }
  loop_.post([completion = std::move(completion), error = std::move(error)] { completion(error); });
}

}  // namespace veldane
