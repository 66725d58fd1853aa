#include "platform/linux/linux_workspace.h"

#include <dirent.h>
#include <fcntl.h>
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

#include "platform/host_process_info.h"
#include "platform/linux/process_launcher.h"
#include "platform/linux/transient_scope.h"
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

struct ProcessStatus {
  uid_t realUid = 0;
  bool zombie = false;
  int32_t processGroup = 0;
  int32_t session = 0;
};

// The first word after `key`, a field name that begins a line of /proc/<pid>/status.
std::optional<std::string_view> field(std::string_view status, std::string_view key) {
  const size_t at = status.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view value = status.substr(at + key.size());
  value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
  return value.substr(0, value.find_first_of(" \t\n"));
}

std::optional<ProcessStatus> readStatus(int32_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // State, Uid, NSpgid and NSsid come within the first few hundred bytes,
  // after a Groups line of up to a few dozen groups.
  std::array<char, 2048> buffer{};
  size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  close(fd);
  const std::string_view status(buffer.data(), filled);
  const std::optional<std::string_view> state = field(status, "\nState:");
  const std::optional<std::string_view> uid = field(status, "\nUid:");
  unsigned long realUid = 0;
  if (!uid || std::from_chars(uid->data(), uid->data() + uid->size(), realUid).ec != std::errc()) {
    return std::nullopt;
  }
  // The first of the namespaces' ids is the one in the namespace of this
  // /proc, the watchdog's; the later ones are those of a sandbox's namespaces,
  // inside which the process may see itself as pid 1.
  auto firstId = [&](std::string_view key) {
    const std::optional<std::string_view> value = field(status, key);
    int32_t id = 0;
    if (value) std::from_chars(value->data(), value->data() + value->size(), id);
    return id;
  };
  return ProcessStatus{.realUid = static_cast<uid_t>(realUid),
                       .zombie = state && *state == "Z",
                       .processGroup = firstId("\nNSpgid:"),
                       .session = firstId("\nNSsid:")};
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
    std::optional<std::string> executable = HostProcessInfo::executablePath(pid);
    if (!executable) continue;
    std::string path = WatchdogFiles::normalized(*executable);
    if (path.find(".app/Contents/MacOS/") == std::string::npos) continue;
    std::optional<std::string> bundle = WatchdogFiles::hostBundlePath(path);
    if (!bundle) continue;
    std::optional<ProcessStatus> status = readStatus(pid);
    if (!status || status->realUid != ourUid) continue;
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
    found.push_back({.pid = pid,
                     .terminated = status->zombie,
                     .bundlePath = *bundle,
                     .processGroup = status->processGroup,
                     .session = status->session,
                     .startUptime = HostProcessInfo::startUptime(pid)});
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
    std::optional<std::string> executable = HostProcessInfo::executablePath(pid);
    if (!executable || WatchdogFiles::normalized(*executable) != executablePath) continue;
    std::optional<ProcessStatus> status = readStatus(pid);
    if (!status || status->realUid != ourUid) continue;
    found.push_back({.pid = pid,
                     .terminated = status->zombie,
                     .bundlePath = std::nullopt,
                     .processGroup = status->processGroup,
                     .session = status->session,
                     .startUptime = HostProcessInfo::startUptime(pid)});
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
