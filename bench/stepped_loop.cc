#include "bench/stepped_loop.h"

#include <time.h>

#include <chrono>
#include <utility>

namespace veldane::bench {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

class SteppedLoop::ScaledTimer final : public MainLoop::Timer {
 public:
  ScaledTimer(std::unique_ptr<MainLoop::Timer> inner, double scale)
      : inner_(std::move(inner)), scale_(scale) {}
  bool reschedule(Seconds delay, Seconds tolerance) override {
    return inner_->reschedule(delay * scale_, tolerance * scale_);
  }

 private:
  std::unique_ptr<MainLoop::Timer> inner_;
  double scale_;
};

std::unique_ptr<MainLoop::Timer> SteppedLoop::oneShotTimer(Seconds delay, Seconds tolerance,
                                                           Callback callback) {
  auto timer = real_.oneShotTimer(delay * timerScale_, tolerance * timerScale_,
                                  [this, callback = std::move(callback)] {
                                    ++timerFirings_;
                                    callback();
                                  });
  if (!timer) return nullptr;
  return std::make_unique<ScaledTimer>(std::move(timer), timerScale_);
}

void SteppedLoop::runAfter(Seconds delay, Callback work) {
  lastDelayedDue_ =
      monotonicNanoseconds() + std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
  real_.runAfter(delay, [this, work = std::move(work)] {
    lastDelayedRan_ = monotonicNanoseconds();
    work();
  });
}

std::unique_ptr<MainLoop::ProcessExitWatch> SteppedLoop::watchProcessExit(int32_t pid,
                                                                          Callback onExit) {
  auto watch = real_.watchProcessExit(pid, [this, onExit = std::move(onExit)] {
    lastExitDelivered_ = monotonicNanoseconds();
    onExit();
  });
  if (watch) watchedPid_ = pid;
  return watch;
}

}  // namespace veldane::bench
