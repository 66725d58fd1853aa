#ifndef VELDANE_PLATFORM_LINUX_PIDFD_EXIT_WATCH_H_
#define VELDANE_PLATFORM_LINUX_PIDFD_EXIT_WATCH_H_

#include <cstdint>
#include <memory>

#include "platform/main_loop.h"

struct sd_event;

namespace veldane {

// Calls `onExit` once on `event` when process `pid` has ended, through a
// pidfd, which also signals exactly that process however its pid is reused.
// Null for a pid below 1, for a process that has already been reaped, or
// when no pidfd can be had.
std::unique_ptr<MainLoop::ProcessExitWatch> watchPidfdExit(sd_event* event, int32_t pid,
                                                           MainLoop::Callback onExit);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PIDFD_EXIT_WATCH_H_
