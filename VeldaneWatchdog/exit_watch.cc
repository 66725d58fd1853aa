#include "VeldaneWatchdog/exit_watch.h"

namespace veldane {

bool ExitWatch::signal(int32_t pid, int signal) {
  return holds(pid) && handle_->sendSignal(signal);
}

void ExitWatch::reset() {
  handle_.reset();
  pid_ = 0;
}

}  // namespace veldane
