#include "platform/process_info.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/linux/proc_file.h"
#include "platform/linux/proc_stat.h"
#include "platform/linux/proc_status.h"
#include "platform/linux/utf8_repair.h"
#include "platform/uptime_clock.h"

namespace veldane {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

// "/proc/<pid>/<entry>" in a caller's buffer: no allocation on every tick.
using ProcPath = std::array<char, 48>;

ProcPath procPath(int32_t pid, const char* entry) {
  ProcPath path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/%s", static_cast<int>(pid), entry);
  return path;
}

// The kernel marks a link whose file has been unlinked or renamed over with
// the suffix; the process still runs the program that was at the path. A file
// whose real name ends in the suffix is told apart by its identity.
bool namesUnlinkedFile(const char* exeLink, const std::string& target) {
  if (!target.ends_with(kDeletedSuffix)) return false;
  struct stat running {};
  struct stat named {};
  if (::stat(exeLink, &running) != 0) return true;
  return ::stat(target.c_str(), &named) != 0 || named.st_dev != running.st_dev ||
         named.st_ino != running.st_ino;
}

// readlink(2) into a buffer on the stack, then into `target`. The kernel
// gives no target of /proc/<pid>/exe as long as the buffer (it answers
// ENAMETOOLONG instead), so one that fills it is no whole path.
bool readLink(const char* link, std::string& target) {
  std::array<char, PATH_MAX> buffer;
  const ssize_t length = ::readlink(link, buffer.data(), buffer.size());
  if (length < 1 || static_cast<size_t>(length) >= buffer.size()) return false;
  target.assign(buffer.data(), static_cast<size_t>(length));
  return true;
}

// A process whose main thread has ended (pthread_exit) lives on in its other
// threads, and only their links still name the program. Fills `link` with
// the one that did.
bool readLiveThreadLink(int32_t pid, std::array<char, 96>& link, std::string& path) {
  const ProcPath folder = procPath(pid, "task");
  DIR* tasks = ::opendir(folder.data());
  if (tasks == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(tasks)) {
    int tid = 0;
    const char* end = entry->d_name + std::strlen(entry->d_name);
    if (std::from_chars(entry->d_name, end, tid).ptr != end || tid < 1) continue;
    std::snprintf(link.data(), link.size(), "/proc/%d/task/%d/exe", static_cast<int>(pid), tid);
    if ((found = readLink(link.data(), path))) break;
  }
  ::closedir(tasks);
  return found;
}

// /proc/<pid>/status, decoded; nothing in it when there is no such process.
ProcStatus readStatus(int32_t pid) {
  if (pid < 1) return {};
  std::array<char, kProcStatusSize> buffer;
  return parseProcStatus(readSmallFile(procPath(pid, "status").data(), buffer));
}

}  // namespace

namespace ProcessInfo {

std::optional<std::string> executablePath(int32_t pid) {
  if (pid < 1) return std::nullopt;
  std::array<char, 96> link{};
  const ProcPath exe = procPath(pid, "exe");
  std::copy(exe.begin(), exe.end(), link.begin());
  std::string path;
  if (!readLink(link.data(), path) && !readLiveThreadLink(pid, link, path)) return std::nullopt;
  if (namesUnlinkedFile(link.data(), path)) path.resize(path.size() - kDeletedSuffix.size());
  if (path.empty()) return std::nullopt;
  repairUtf8(path);
  return path;
}

std::string bootSession() {
  // The file holds one line: a UUID and a line break.
  std::array<char, 128> buffer;
  std::string_view value = readSmallFile("/proc/sys/kernel/random/boot_id", buffer);
  value = value.substr(0, value.find('\n'));
  if (value.empty()) return "unknown";
  std::string session(value);
  repairUtf8(session);
  return session;
}

bool isTraced(int32_t pid) { return readStatus(pid).tracerPid > 0; }

bool isCurrentUsersProcess(int32_t pid) {
  const ProcStatus status = readStatus(pid);
  // /proc/<tid> answers for any thread, and a signal to a thread id reaches
  // its whole process: only a thread group's leader is a process.
  return status.tgid == pid && runsWithRightsOf(status, ::getuid());
}

std::optional<Seconds> startUptime(int32_t pid) {
  if (pid < 1) return std::nullopt;
  std::array<char, 1024> buffer;
  const std::string_view stat = readSmallFile(procPath(pid, "stat").data(), buffer);
  const std::optional<ProcStat> parsed = parseProcStat(stat);
  if (!parsed) return std::nullopt;
  const uint64_t ticks = parsed->startTicks;
  const long perSecond = ::sysconf(_SC_CLK_TCK);
  timespec boot{};
  if (perSecond <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return std::nullopt;
  // The start counts on the boot clock, which runs on during a suspend; the
  // uptime clock does not.
  const Seconds slept =
      Seconds(static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9) -
      systemUptime();
  return Seconds(static_cast<double>(ticks) / static_cast<double>(perSecond)) -
         std::max(slept, Seconds::zero());
}

}  // namespace ProcessInfo
}  // namespace veldane
