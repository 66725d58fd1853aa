#ifndef VELDANE_PLATFORM_LINUX_PROC_STAT_H_
#define VELDANE_PLATFORM_LINUX_PROC_STAT_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace veldane {

// What the watchdog and the stack helper read of /proc/<pid>/stat (or of a
// thread's /proc/<pid>/task/<tid>/stat), decoded without a system call or an
// allocation. The times count in clock ticks (sysconf(_SC_CLK_TCK)).
//
//   std::array<char, 1024> buffer;
//   std::optional<ProcStat> stat = parseProcStat(readSmallFile("/proc/self/stat", buffer));
struct ProcStat {
  // The name as the kernel cut it, at most 15 bytes, perhaps inside a
  // character; it may hold spaces and ")".
  std::string_view name;
  char state = '?';        // field 3: 'R', 'S', 'D', 'Z', ...
  uint64_t userTicks = 0;  // field 14
  uint64_t systemTicks = 0;  // field 15
  uint64_t startTicks = 0;   // field 22: since boot, on the clock that runs on in a suspend

  bool operator==(const ProcStat&) const = default;
};

// Absent when the text is cut short or a field read is no number.
std::optional<ProcStat> parseProcStat(std::string_view text);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROC_STAT_H_
