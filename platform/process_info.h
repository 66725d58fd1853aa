#ifndef VELDANE_PLATFORM_PROCESS_INFO_H_
#define VELDANE_PLATFORM_PROCESS_INFO_H_

#include <cstdint>
#include <optional>
#include <string>

#include "state/seconds.h"

namespace veldane {

// The operating system's facts about any process (the watchdog's own among
// them) and about the boot. Every failure gives a fixed fallback (absent,
// "unknown", false); nothing is cached or logged. Safe to call from any thread.
namespace ProcessInfo {

// The absolute path of the executable that process `pid` runs. Absent for a
// pid below 1 (no system call is made), for no such process, or when it
// cannot be inspected. On Linux a program replaced on disk while it runs
// still gives its path. Invalid UTF-8 is replaced by U+FFFD.
std::optional<std::string> executablePath(int32_t pid);

// Equal for every process during one boot, different after a restart;
// "unknown" when the system does not tell.
std::string bootSession();

// True while a debugger or other tracer is attached; false for no process.
bool isTraced(int32_t pid);

// True when `pid` names a process (not one thread of a process, which Linux
// also answers for under /proc) that runs as this process's user: its real
// and effective user IDs are both this process's real user ID. False for no
// process, or when it cannot be inspected.
bool isCurrentUsersProcess(int32_t pid);

// When process `pid` started, on the uptime clock (systemUptime());
// absent for no such process, or when it cannot be inspected.
std::optional<Seconds> startUptime(int32_t pid);

}  // namespace ProcessInfo
}  // namespace veldane

#endif  // VELDANE_PLATFORM_PROCESS_INFO_H_
