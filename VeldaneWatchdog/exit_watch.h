#ifndef VELDANE_VELDANEWATCHDOG_EXIT_WATCH_H_
#define VELDANE_VELDANEWATCHDOG_EXIT_WATCH_H_

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/main_loop.h"

namespace veldane {

// The watch on the live host's exit: the pid it was asked for and the
// system's handle, which on Linux holds that very process. Watching a pid
// again is free; a pid whose watch could not be made is not tried again
// until another pid is watched.
//
//   exitWatch.watch(loop, record.pid, onExit);
//   if (exitWatch.holds(pid)) exitWatch.signal(pid, SIGKILL);
class ExitWatch {
 public:
  // Watches `pid` (none below 1), calling `onExit` once when it ends,
  // unless `pid` is the one watched already; then `onExit` is dropped
  // without ever becoming a callback.
  template <typename OnExit>
  void watch(MainLoop& loop, int32_t pid, OnExit&& onExit) {
    if (pid == pid_) return;
    reset();
    pid_ = pid;
    if (pid < 1) return;
    handle_ = loop.watchProcessExit(pid, std::forward<OnExit>(onExit));
  }
  // Whether a watch holds process `pid`: made, and not yet ended or reset.
  bool holds(int32_t pid) const { return handle_ && pid_ == pid; }
  // Signals `pid` through the watch; false when no watch holds it or the
  // signal could not be sent.
  bool signal(int32_t pid, int signal);
  // Watches nothing.
  void reset();
  // The pid asked for last, 0 for none.
  int32_t pid() const { return pid_; }

 private:
  int32_t pid_ = 0;
  std::unique_ptr<MainLoop::ProcessExitWatch> handle_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_EXIT_WATCH_H_
