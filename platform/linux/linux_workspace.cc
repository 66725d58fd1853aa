#include "platform/linux/linux_workspace.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/linux/proc_file.h"
#include "platform/linux/proc_status.h"
#include "platform/linux/process_launcher.h"
#include "platform/linux/transient_scope.h"
#include "platform/process_info.h"
#include "state/unicode_text.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

// The manager answers within milliseconds; the watchdog's loop waits this
// long at most, on a relaunch, before the host starts without a scope.
constexpr std::chrono::seconds kScopeWait{2};

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

// /proc/<pid>/status, decoded; nothing in it when the process has gone.
ProcStatus readStatus(int32_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::array<char, kProcStatusSize> buffer;
  return parseProcStatus(readSmallFile(path, buffer));
}

// One of the user's running applications; the ids of its group and session
// are those in the watchdog's pid namespace.
RunningApplication runningApplication(int32_t pid, const ProcStatus& status,
                                      std::optional<std::string> bundlePath) {
  return {.pid = pid,
          .terminated = status.state == 'Z',
          .bundlePath = std::move(bundlePath),
          .processGroup = status.nsPgid.value_or(0),
          .session = status.nsSid.value_or(0),
          .startUptime = ProcessInfo::startUptime(pid)};
}

std::string fileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(MainLoop& loop, BundleReader& bundles,
                               std::optional<rlim_t> openFiles, LogChannel* log)
    : loop_(loop), bundles_(bundles), openFiles_(openFiles), log_(log) {}

std::vector<RunningApplication> LinuxWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<RunningApplication> found;
  std::map<std::string, std::optional<BundleInfo>> bundleCache;
  const uid_t ourUid = getuid();
  for (int32_t pid : listPids()) {
    // Most processes run no bundle's program: their path rules them out with
    // one readlink, before their status is read.
    std::optional<std::string> executable = ProcessInfo::executablePath(pid);
    if (!executable) continue;
    std::string path = WatchdogFiles::normalized(*executable);
    if (path.find(".app/Contents/MacOS/") == std::string::npos) continue;
    std::optional<std::string> bundle = WatchdogFiles::hostBundlePath(path);
    if (!bundle) continue;
    const ProcStatus status = readStatus(pid);
    if (!startedBy(status, ourUid)) continue;
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
    found.push_back(runningApplication(pid, status, *bundle));
  }
  return found;
}

std::vector<RunningApplication> LinuxWorkspace::processesRunning(
    const std::string& executablePath) {
  std::vector<RunningApplication> found;
  const uid_t ourUid = getuid();
  const int32_t ownPid = static_cast<int32_t>(getpid());
  for (int32_t pid : listPids()) {
    if (pid == ownPid) continue;
    std::optional<std::string> executable = ProcessInfo::executablePath(pid);
    if (!executable || WatchdogFiles::normalized(*executable) != executablePath) continue;
    const ProcStatus status = readStatus(pid);
    if (!startedBy(status, ourUid)) continue;
    found.push_back(runningApplication(pid, status, std::nullopt));
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
    // Where the manager cannot make it, the application starts detached all the same.
    const std::string scope =
        TransientScope::newUnitName(info->identifier.value_or(*info->executableName));
    auto intoScope = [&](pid_t pid) {
      std::optional<std::string> why = TransientScope::start(scope, pid, kScopeWait);
      if (why && log_ != nullptr && !toldWhyNoScope_) {
        log_->log(LogLevel::standard, "Opening applications without a scope of their own: " + *why);
        toldWhyNoScope_ = true;
      }
    };
    error = ProcessLauncher::launchDetached(bundlePath + "/Contents/MacOS/" + *info->executableName,
                                            arguments, openFiles_, intoScope);
  }
  loop_.post([completion = std::move(completion), error = std::move(error)] { completion(error); });
}

}  // namespace veldane
