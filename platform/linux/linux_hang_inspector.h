#ifndef VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_
#define VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/hang_inspector.h"
#include "platform/linux/linux_main_loop.h"

namespace veldane {

// Thread states from /proc, and user-space stacks from the helper
// veldane-hang-stacks (libdw), which lives beside the watchdog so that the
// watchdog never maps libdw itself. The helper runs while the main loop goes
// on: its output is read as it comes, and at the budget's end, or once it has
// printed more than the stacks of every thread can take, it is killed through
// a pidfd and what it printed until then is kept. Nothing waits for it to
// end: a helper that cannot die at once (stuck in a file system that stopped
// answering) is reaped whenever it ends.
class LinuxHangInspector final : public HangInspector {
 public:
  static constexpr const char* kUnwinderName = "veldane-hang-stacks";

  // What is taken of the helper's output, so that the report stays within
  // what its readers take (WatchdogStore::kMaxReportSize): one line a thread.
  static constexpr size_t kMaxOutputBytes = 4 << 20;
  static constexpr size_t kMaxLineBytes = 64 << 10;
  static constexpr size_t kMaxFrames = 64;
  static constexpr size_t kMaxFrameBytes = 1024;

  // `unwinder`: the helper's path; without one there, no stacks.
  LinuxHangInspector(LinuxMainLoop& loop, std::string unwinder);
  ~LinuxHangInspector() override;
  LinuxHangInspector(const LinuxHangInspector&) = delete;
  LinuxHangInspector& operator=(const LinuxHangInspector&) = delete;

  // The helper's path in the folder of the running executable.
  static std::string besideThisExecutable();

  HostCpuSample sampleCpu(int32_t pid) override;
  void snapshot(int32_t pid, Seconds budget, Completion done) override;

  // Helpers killed that have not ended yet.
  size_t unendedHelpers() const { return ending_.size(); }

 private:
  struct Helper;
  struct Run;

  void onOutput();
  void onHelperEnded();
  // Ends the running snapshot: kills the helper if it still runs, and hands
  // over what it printed.
  void finish(std::string failure);
  void letEnd(std::unique_ptr<Helper> helper);

  LinuxMainLoop& loop_;
  std::string unwinder_;
  std::unique_ptr<Run> run_;
  std::vector<std::unique_ptr<Helper>> ending_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LINUX_HANG_INSPECTOR_H_
