#ifndef VELDANE_PLATFORM_LINUX_SIGTERM_EXIT_LINUX_H_
#define VELDANE_PLATFORM_LINUX_SIGTERM_EXIT_LINUX_H_

namespace veldane {

// Makes SIGTERM end the process with status 0 at once, whatever the main
// thread is doing: a small thread of its own waits for the signal, which is
// blocked in the calling thread and the threads it starts later. Call before
// any other thread exists, once. False when that thread cannot be started.
bool startSigtermExit();

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_SIGTERM_EXIT_LINUX_H_
