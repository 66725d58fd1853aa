#ifndef VELDANE_PLATFORM_MAIN_LOOP_H_
#define VELDANE_PLATFORM_MAIN_LOOP_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "state/seconds.h"

namespace veldane {

// The main thread's event loop as the supervisor sees it. Every callback runs
// on the main thread, one at a time. Only `post` may be called from another
// thread.
class MainLoop {
 public:
  using Callback = std::function<void()>;

  // A one-shot timer; destroying the handle cancels it.
  class Timer {
   public:
    virtual ~Timer() = default;
    // Arms the timer again, pending or fired, to call its callback once
    // `delay` from now, give or take `tolerance`; a pending firing is
    // dropped. False when this timer cannot be re-armed: make a new one.
    virtual bool reschedule(Seconds /*delay*/, Seconds /*tolerance*/) { return false; }
  };

  // A watch on one process's exit; destroying the handle cancels it.
  class ProcessExitWatch {
   public:
    virtual ~ProcessExitWatch() = default;
    // Signals the watched process. Where the system lets the watch hold the
    // process itself (a pidfd on Linux) the signal never reaches a later
    // process that reuses its pid; elsewhere it goes by pid, like kill(2).
    // False when the signal could not be sent.
    virtual bool sendSignal(int signal) = 0;
  };

  // Keeps a registration alive; destroying it unregisters.
  class Subscription {
   public:
    virtual ~Subscription() = default;
  };

  virtual ~MainLoop() = default;

  // Fires `callback` once, `delay` from now, give or take `tolerance`;
  // `reschedule` fires it again later without a new timer. Null when no timer
  // can be made.
  virtual std::unique_ptr<Timer> oneShotTimer(Seconds delay, Seconds tolerance,
                                              Callback callback) = 0;

  // Runs `work` once, `delay` from now; cannot be cancelled.
  virtual void runAfter(Seconds delay, Callback work) = 0;

  // Hands `work` over to the main thread. Safe from any thread.
  virtual void post(Callback work) = 0;

  // Calls `onExit` once when process `pid` ends. Null when the process cannot
  // be watched (it has already gone, or the pid is below 1).
  virtual std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) = 0;

  // What the system says of the end of the machine or of the user's session.
  struct SessionEndNotice {
    enum class Kind {
      powerOff,           // the machine is to power off or restart (macOS: or log out)
      powerOffCancelled,  // an announced power-off will not come after all
      logout,             // the user's session is ending
      logoutCancelled,    // the user's session goes on after all
    };
    Kind kind = Kind::powerOff;
    // Whether the system says so when this end is called off. Where it does
    // not, an end that has not come after a while was called off.
    bool cancelIsAnnounced = false;

    friend bool operator==(const SessionEndNotice&, const SessionEndNotice&) = default;
  };
  using SessionEndCallback = std::function<void(SessionEndNotice)>;

  // Calls `onNotice` whenever the system announces, or calls off, the end of
  // the machine or of the user's session. Where no announcement can come, the
  // subscription simply never fires.
  virtual std::unique_ptr<Subscription> observeSessionEnd(SessionEndCallback onNotice) = 0;

  // Ends the process with `status`. The real loop does not return; a
  // simulated one records the status and stops delivering events.
  virtual void exitProcess(int status) = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MAIN_LOOP_H_
