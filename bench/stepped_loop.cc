#include "bench/stepped_loop.h"

#include <time.h>

#include <utility>

#include "bench/allocation_counter.h"

namespace veldane::bench {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

class SteppedLoop::ScaledTimer final : public MainLoop::Timer {
 public:
  explicit ScaledTimer(double scale) : scale_(scale) {}
  bool reschedule(double delay, double tolerance) override {
    return inner->reschedule(delay * scale_, tolerance * scale_);
  }

  std::unique_ptr<MainLoop::Timer> inner;

 private:
  double scale_;
};

class SteppedLoop::NotedWatch final : public MainLoop::ProcessExitWatch {
 public:
  NotedWatch(SteppedLoop& loop, int32_t pid) : loop_(loop), pid_(pid) {}
  ~NotedWatch() override {
    if (loop_.watchedPid_ == pid_) loop_.watchedPid_ = 0;
  }
  bool sendSignal(int signal) override { return inner->sendSignal(signal); }

  std::unique_ptr<MainLoop::ProcessExitWatch> inner;

 private:
  SteppedLoop& loop_;
  int32_t pid_;
};

std::unique_ptr<MainLoop::Timer> SteppedLoop::oneShotTimer(double delay, double tolerance,
                                                           Callback callback) {
  std::unique_ptr<ScaledTimer> timer;
  Callback noted;
  {
    PauseCounting pause;
    timer = std::make_unique<ScaledTimer>(timerScale_);
    noted = [this, callback = std::move(callback)] {
      ++timerFirings_;
      callback();
    };
  }
  timer->inner = real_.oneShotTimer(delay * timerScale_, tolerance * timerScale_, std::move(noted));
  PauseCounting pause;  // the conversion to the base handle
  return timer;
}

void SteppedLoop::runAfter(double delay, Callback work) {
  Callback noted;
  {
    PauseCounting pause;
    noted = [this, work = std::move(work)] {
      lastDelayedRan_ = monotonicNanoseconds();
      work();
    };
  }
  lastDelayedDue_ = monotonicNanoseconds() + static_cast<int64_t>(delay * 1e9);
  real_.runAfter(delay, std::move(noted));
}

std::unique_ptr<MainLoop::ProcessExitWatch> SteppedLoop::watchProcessExit(int32_t pid,
                                                                          Callback onExit) {
  std::unique_ptr<NotedWatch> watch;
  Callback noted;
  {
    PauseCounting pause;
    watch = std::make_unique<NotedWatch>(*this, pid);
    noted = [this, onExit = std::move(onExit)] {
      lastExitDelivered_ = monotonicNanoseconds();
      onExit();
    };
  }
  watch->inner = real_.watchProcessExit(pid, std::move(noted));
  if (!watch->inner) return nullptr;
  watchedPid_ = pid;
  return watch;
}

}  // namespace veldane::bench
