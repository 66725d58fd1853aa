#ifndef VELDANE_PLATFORM_MACOS_PROCESS_TABLE_H_
#define VELDANE_PLATFORM_MACOS_PROCESS_TABLE_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace veldane {

// The kernel's process table through libproc, for what NSRunningApplication
// does not tell.
namespace ProcessTable {

struct Process {
  uid_t realUid = 0;
  bool zombie = false;
  int32_t processGroup = 0;
  int32_t session = 0;  // 0 when the system does not tell
};

// Every pid in the table at this moment; empty when it cannot be read.
std::vector<int32_t> allPids();

// Absent for no such process or one that cannot be inspected.
std::optional<Process> describe(int32_t pid);

}  // namespace ProcessTable
}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_PROCESS_TABLE_H_
