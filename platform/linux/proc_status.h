#ifndef VELDANE_PLATFORM_LINUX_PROC_STATUS_H_
#define VELDANE_PLATFORM_LINUX_PROC_STATUS_H_

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace veldane {

// What the watchdog and the host read of /proc/<pid>/status, decoded without
// a system call or an allocation. Each field is absent when its line is
// missing or malformed.
//
//   std::array<char, kProcStatusSize> buffer;
//   ProcStatus status = parseProcStatus(readSmallFile("/proc/self/status", buffer));
struct ProcStatus {
  // The ids of a process in the pid namespaces it is in, that of the /proc
  // mount first, its own last; a sandbox's process may be pid 1 in its own.
  struct NamespacePids {
    std::array<int32_t, 32> ids{};  // the kernel nests at most 32 levels
    size_t count = 0;
    std::span<const int32_t> values() const { return {ids.data(), count}; }
    bool operator==(const NamespacePids&) const = default;
  };

  std::optional<char> state;             // "State:": 'R', 'S', 'D', 'Z', ...
  std::optional<int32_t> tgid;           // "Tgid:": the thread group, the process
  std::optional<int32_t> tracerPid;      // "TracerPid:": 0 when none is attached
  std::optional<uint32_t> realUid;       // "Uid:", the first of four
  std::optional<uint32_t> effectiveUid;  // "Uid:", the second
  NamespacePids nsPid;                   // "NSpid:"; none when any of its ids is not positive
  // The first ids of "NSpgid:" and "NSsid:": those in the /proc mount's namespace.
  std::optional<int32_t> nsPgid;
  std::optional<int32_t> nsSid;

  bool operator==(const ProcStatus&) const = default;
};

// Large enough for the whole file with a Groups line of some hundred groups.
inline constexpr size_t kProcStatusSize = 4096;

ProcStatus parseProcStatus(std::string_view text);

// The two meanings of "a process of this user", each where it belongs:
//
// It runs with the rights of `uid`, real and effective: one that the watchdog
// may judge and signal as its own (ProcessInfo::isCurrentUsersProcess).
bool runsWithRightsOf(const ProcStatus& status, uid_t uid);
// It was started by `uid`, whatever rights it took on since (a set-user-ID
// program): enough to count as one of the user's running applications.
bool startedBy(const ProcStatus& status, uid_t uid);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROC_STATUS_H_
