#ifndef VELDANE_PLATFORM_LINUX_PROC_THREADS_H_
#define VELDANE_PLATFORM_LINUX_PROC_THREADS_H_

#include <cstdint>
#include <vector>

#include "platform/linux/proc_thread_ids.h"
#include "state/host_hang_snapshot.h"

namespace veldane {

// A process's threads as /proc/PID/task tells them. Thread ids, names,
// states and CPU times are readable for every process of the same user;
// `wchan` and kernel stacks only where the kernel allows (it hides them from
// those who may not attach, and kernel stacks need CAP_SYS_ADMIN).
namespace ProcThreads {

// The threads of `pid` without stacks; `kernelStacks` adds those readable.
// Empty when the process has gone.
std::vector<HostThreadSnapshot> read(int32_t pid, bool kernelStacks);

// Only the CPU time of each thread: one small read per thread.
HostCpuSample cpuTimes(int32_t pid);

}  // namespace ProcThreads
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROC_THREADS_H_
