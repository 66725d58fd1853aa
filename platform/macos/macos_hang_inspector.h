#ifndef VELDANE_PLATFORM_MACOS_MACOS_HANG_INSPECTOR_H_
#define VELDANE_PLATFORM_MACOS_MACOS_HANG_INSPECTOR_H_

#include "platform/hang_inspector.h"

namespace veldane {

// Thread states, names and CPU times through proc_pidinfo, which needs no
// privilege for a process of the same user. No stacks: reading another
// process's memory takes task_for_pid, which the system grants a watchdog
// only as a debugger. A thread's id is the low half of the handle that
// libproc lists it by, the same for the early sample and the snapshot.
class MacosHangInspector final : public HangInspector {
 public:
  HostCpuSample sampleCpu(int32_t pid) override;
  // Completes before it returns.
  void snapshot(int32_t pid, Seconds budget, Completion done) override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_MACOS_HANG_INSPECTOR_H_
