#ifndef VELDANE_PLATFORM_MACOS_MACOS_MAIN_LOOP_H_
#define VELDANE_PLATFORM_MACOS_MACOS_MAIN_LOOP_H_

#include <memory>

#include "platform/main_loop.h"

namespace veldane {

// The main thread's run loop and the main dispatch queue: tick timers are
// one-shot CFRunLoopTimers in the common modes, delayed and handed-over work
// goes to the main queue, a process exit is a DISPATCH_PROC_EXIT source. Timers
// fire only while the main run loop runs (`run`); the main queue is also
// served while the thread is parked in dispatch_main.
class MacosMainLoop final : public MainLoop {
 public:
  // Makes SIGTERM end the process with status 0 at once, whatever the main
  // thread is doing: the signal's own action is ignored and a dispatch
  // source on a queue of its own takes it. The files are written atomically,
  // so ending in the middle of a callback loses nothing. False when the
  // source cannot be made.
  bool exitOnSigterm();

  // Runs the main run loop; it returns only when it has nothing left to wait for.
  void run();

  std::unique_ptr<Timer> oneShotTimer(Seconds delay, Seconds tolerance, Callback callback) override;
  void runAfter(Seconds delay, Callback work) override;
  void post(Callback work) override;
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  // NSWorkspaceWillPowerOffNotification, posted for a logout as for a power-off
  // or restart; nothing says when either is called off.
  std::unique_ptr<Subscription> observeSessionEnd(SessionEndCallback onNotice) override;
  void exitProcess(int status) override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_MACOS_MAIN_LOOP_H_
