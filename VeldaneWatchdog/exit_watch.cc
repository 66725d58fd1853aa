#include "VeldaneWatchdog/exit_watch.h"

#include <utility>

namespace veldane {

void ExitWatch::watch(MainLoop& loop, int32_t pid, MainLoop::Callback onExit) {
  if (pid == pid_) return;
  reset();
  pid_ = pid;
  if (pid < 1) return;
  handle_ = loop.watchProcessExit(pid, std::move(onExit));
}

bool ExitWatch::signal(int32_t pid, int signal) {
  return holds(pid) && handle_->sendSignal(signal);
}

void ExitWatch::reset() {
  handle_.reset();
  pid_ = 0;
}

}  // namespace veldane
