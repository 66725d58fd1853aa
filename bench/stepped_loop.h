#ifndef VELDANE_BENCH_STEPPED_LOOP_H_
#define VELDANE_BENCH_STEPPED_LOOP_H_

#include <cstdint>
#include <memory>

#include "platform/linux/linux_main_loop.h"
#include "platform/main_loop.h"

namespace veldane::bench {

// The real Linux main loop, turned by the benchmark one event at a time. It
// notes when tick timers fire and exit watches deliver, and scales the tick
// timers' delays by `timerScale` (0: each tick's timer fires at once, so
// steady ticks run back to back through the real timer path). Delayed work
// (the launch delay) keeps its real delay.
class SteppedLoop final : public MainLoop {
 public:
  explicit SteppedLoop(double timerScale) : timerScale_(timerScale) {}

  // Waits up to `timeout` for one event and dispatches it.
  void step(Seconds timeout) { real_.runOneIteration(timeout); }

  // The loop itself, for the parts that need more of it than MainLoop gives.
  LinuxMainLoop& real() { return real_; }

  uint64_t timerFirings() const { return timerFirings_; }
  // CLOCK_MONOTONIC nanoseconds at which the last exit watch delivered.
  int64_t lastExitDelivered() const { return lastExitDelivered_; }
  // The pid of the last exit watch armed.
  int32_t watchedPid() const { return watchedPid_; }
  // The last delayed work (the launch delay): when it was due and when it ran.
  int64_t lastDelayedDue() const { return lastDelayedDue_; }
  int64_t lastDelayedRan() const { return lastDelayedRan_; }

  std::unique_ptr<Timer> oneShotTimer(Seconds delay, Seconds tolerance, Callback callback) override;
  void runAfter(Seconds delay, Callback work) override;
  void post(Callback work) override { real_.post(std::move(work)); }
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  std::unique_ptr<Subscription> observeSessionEnd(SessionEndCallback onNotice) override {
    return real_.observeSessionEnd(std::move(onNotice));
  }
  void exitProcess(int status) override { real_.exitProcess(status); }

 private:
  class ScaledTimer;

  LinuxMainLoop real_;
  double timerScale_;
  uint64_t timerFirings_ = 0;
  int64_t lastExitDelivered_ = 0;
  int64_t lastDelayedDue_ = 0;
  int64_t lastDelayedRan_ = 0;
  int32_t watchedPid_ = 0;
};

int64_t monotonicNanoseconds();

}  // namespace veldane::bench

#endif  // VELDANE_BENCH_STEPPED_LOOP_H_
