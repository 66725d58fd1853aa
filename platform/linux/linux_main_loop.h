#ifndef VELDANE_PLATFORM_LINUX_LINUX_MAIN_LOOP_H_
#define VELDANE_PLATFORM_LINUX_LINUX_MAIN_LOOP_H_

#include <memory>
#include <mutex>
#include <vector>

#include "platform/main_loop.h"

struct sd_event;
struct sd_event_source;
struct sd_bus;

namespace veldane {

// The main loop on sd-event. Construct, call and run it on the main thread;
// only `post` may come from another thread.
//
// A process watch started for a pid that has already ended is null once the
// process has been reaped; an unreaped child that has already ended is
// reported at once.
class LinuxMainLoop final : public MainLoop {
 public:
  LinuxMainLoop();
  ~LinuxMainLoop() override;
  LinuxMainLoop(const LinuxMainLoop&) = delete;
  LinuxMainLoop& operator=(const LinuxMainLoop&) = delete;

  // Makes SIGTERM end the process with status 0 at once, whatever the main
  // thread is doing, a read of a file system that stopped answering included:
  // a small thread of its own waits for the signal. The files are written
  // atomically, so ending in the middle of a callback loses nothing. Call
  // before any other thread exists: SIGTERM is blocked in the calling thread
  // and the threads it starts later. False when that thread cannot be started.
  bool exitOnSigterm();

  // False when the loop could not be made (no descriptors to spare, say).
  bool ready() const { return event_ != nullptr && wake_fd_ >= 0; }

  // Where ended processes are handed to this one (PID 1 of a namespace, or a
  // child subreaper), reaps every child as it ends, so that no zombie piles
  // up. Call before any other thread exists. False when that was needed and
  // could not be set up.
  bool reapOrphans();

  // Runs the loop until `quit`; gives the status passed to it, or a negative
  // errno when the loop failed.
  int run();

  // Ends `run` with `status` once the callback in hand returns.
  void quit(int status);

  // One turn of the loop, for callers that drive it themselves (benchmarks):
  // waits up to `timeout` for an event and dispatches one. Gives 1
  // when something ran, 0 on timeout, a negative errno on failure.
  int runOneIteration(Seconds timeout);

  // Calls `onReadable` whenever `fd` has something to read, has reached its
  // end or has failed (a pidfd: once its process has ended), until the handle
  // is destroyed. The descriptor stays the caller's. Null when it cannot be
  // watched.
  std::unique_ptr<Subscription> watchReadable(int fd, Callback onReadable);

  std::unique_ptr<Timer> oneShotTimer(Seconds delay, Seconds tolerance, Callback callback) override;
  void runAfter(Seconds delay, Callback work) override;
  void post(Callback work) override;
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  // logind's PrepareForShutdown on the system bus (DBUS_SYSTEM_BUS_ADDRESS, or
  // the usual socket), and this user's state as sd-login gives it: "active" or
  // "online" turning to "closing", "lingering" or "offline" is a logout, and
  // turning back a logout called off.
  std::unique_ptr<Subscription> observeSessionEnd(SessionEndCallback onNotice) override;
  void exitProcess(int status) override;

 private:
  static int onPosted(sd_event_source* source, int fd, uint32_t events, void* userdata);
  void runPosted();

  sd_event* event_ = nullptr;
  sd_event_source* posted_source_ = nullptr;
  bool exitsOnSigterm_ = false;
  sd_event_source* sigchld_source_ = nullptr;
  sd_bus* bus_ = nullptr;
  int wake_fd_ = -1;

  std::mutex posted_mutex_;
  std::vector<Callback> posted_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_LINUX_MAIN_LOOP_H_
