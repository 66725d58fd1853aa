#ifndef VELDANE_PLATFORM_LINUX_PROC_THREAD_IDS_H_
#define VELDANE_PLATFORM_LINUX_PROC_THREAD_IDS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veldane {
namespace ProcThreads {

// At most this many threads are read, the main thread first.
inline constexpr size_t kMaxThreads = 256;

// The thread ids of `pid` as /proc/PID/task lists them: the main thread
// (tid == pid) first, the others in the kernel's order, at most kMaxThreads.
// Empty when the process has gone. The watchdog and the stack helper both
// take these, so that the stacks are those of the threads the report lists.
std::vector<int32_t> threadIds(int32_t pid);

}  // namespace ProcThreads
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROC_THREAD_IDS_H_
