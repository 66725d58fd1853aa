#ifndef VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_
#define VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_

#include <string>
#include <utility>

#include "platform/hang_inspector.h"

namespace veldane {

// Thread states from /proc, and user-space stacks from the helper
// veldane-hang-stacks (libdw), which lives beside the watchdog so that the
// watchdog never maps libdw itself. A snapshot completes before `snapshot`
// returns: the main loop waits at most the budget, after which the helper is
// killed and what it printed until then is kept.
class LinuxHangInspector final : public HangInspector {
 public:
  static constexpr const char* kUnwinderName = "veldane-hang-stacks";

  // `unwinder`: the helper's path; without one there, no stacks.
  explicit LinuxHangInspector(std::string unwinder) : unwinder_(std::move(unwinder)) {}

  // The helper's path in the folder of the running executable.
  static std::string besideThisExecutable();

  HostCpuSample sampleCpu(int32_t pid) override;
  void snapshot(int32_t pid, double budget, Completion done) override;

 private:
  std::string unwinder_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_
