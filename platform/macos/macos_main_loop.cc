#include "platform/macos/macos_main_loop.h"

#include <dispatch/dispatch.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "platform/macos/power_off_notice.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/run_guarded.h"

namespace veldane {
namespace {

// About thirty years: far enough to mean "never".
constexpr Seconds kLongestDelay{1e9};

Seconds bounded(Seconds span) {
  if (!(span > Seconds::zero())) return Seconds::zero();  // Also NaN.
  return span < kLongestDelay ? span : kLongestDelay;
}

dispatch_time_t after(Seconds delay) {
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(bounded(delay));
  return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(wait.count()));
}

// The tick timer: one-shot, in the main run loop's common modes, so that it
// also fires while the loop runs in another common mode.
class RunLoopTimer final : public MainLoop::Timer {
 public:
  RunLoopTimer(Seconds delay, Seconds tolerance, MainLoop::Callback callback) {
    // Shared with the block, which the run loop keeps while it runs it: the
    // callback outlives a handle destroyed from within it.
    auto shared = std::make_shared<MainLoop::Callback>(std::move(callback));
    const CFAbsoluteTime fireAt = CFAbsoluteTimeGetCurrent() + bounded(delay).count();
    timer_ =
        CFRunLoopTimerCreateWithHandler(kCFAllocatorDefault, fireAt, 0, 0, 0, ^(CFRunLoopTimerRef) {
          const auto keep = shared;
          runGuarded(*keep);
        });
    if (timer_ == nullptr) return;
    CFRunLoopTimerSetTolerance(timer_, bounded(tolerance).count());
    CFRunLoopAddTimer(CFRunLoopGetMain(), timer_, kCFRunLoopCommonModes);
  }
  ~RunLoopTimer() override {
    if (timer_ == nullptr) return;
    CFRunLoopTimerInvalidate(timer_);
    CFRelease(timer_);
  }
  RunLoopTimer(const RunLoopTimer&) = delete;
  RunLoopTimer& operator=(const RunLoopTimer&) = delete;

  bool valid() const { return timer_ != nullptr; }

 private:
  CFRunLoopTimerRef timer_ = nullptr;
};

// A process that is not our child: the source fires on its exit, but the pid
// is free again once its parent has reaped it, so the signal goes by pid.
class ProcessSourceWatch final : public MainLoop::ProcessExitWatch {
 public:
  ProcessSourceWatch(int32_t pid, MainLoop::Callback onExit) : pid_(pid) {
    source_ = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, static_cast<uintptr_t>(pid),
                                     DISPATCH_PROC_EXIT, dispatch_get_main_queue());
    if (source_ == nullptr) return;
    auto shared = std::make_shared<MainLoop::Callback>(std::move(onExit));
    dispatch_source_t source = source_;
    dispatch_source_set_event_handler(source_, ^{
      // Once: the callback is taken out before it runs, as it may end the watch.
      dispatch_source_cancel(source);
      MainLoop::Callback callback = std::move(*shared);
      *shared = nullptr;
      runGuarded(callback);
    });
    dispatch_resume(source_);
  }
  ~ProcessSourceWatch() override {
    if (source_ == nullptr) return;
    dispatch_source_cancel(source_);
    dispatch_release(source_);
  }
  ProcessSourceWatch(const ProcessSourceWatch&) = delete;
  ProcessSourceWatch& operator=(const ProcessSourceWatch&) = delete;

  bool valid() const { return source_ != nullptr; }

  bool sendSignal(int signal) override { return ::kill(pid_, signal) == 0; }

 private:
  int32_t pid_;
  dispatch_source_t source_ = nullptr;
};

}  // namespace

bool MacosMainLoop::exitOnSigterm() {
  // Held for the life of the process: nothing ever cancels it.
  static dispatch_source_t termination = nullptr;
  if (termination != nullptr) return true;
  signal(SIGTERM, SIG_IGN);
  // Not the main queue, which a main thread blocked in a read would not serve.
  termination = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGTERM, 0,
                                       dispatch_get_global_queue(QOS_CLASS_USER_INITIATED, 0));
  if (termination == nullptr) return false;
  dispatch_source_set_event_handler(termination, ^{
    _exit(0);
  });
  dispatch_resume(termination);
  return true;
}

void MacosMainLoop::run() { CFRunLoopRun(); }

std::unique_ptr<MainLoop::Timer> MacosMainLoop::oneShotTimer(Seconds delay, Seconds tolerance,
                                                             Callback callback) {
  auto timer = std::make_unique<RunLoopTimer>(delay, tolerance, std::move(callback));
  if (!timer->valid()) return nullptr;
  return timer;
}

void MacosMainLoop::runAfter(Seconds delay, Callback work) {
  dispatch_after(after(delay), dispatch_get_main_queue(), ^{
    runGuarded(work);
  });
}

void MacosMainLoop::post(Callback work) {
  dispatch_async(dispatch_get_main_queue(), ^{
    runGuarded(work);
  });
}

std::unique_ptr<MainLoop::ProcessExitWatch> MacosMainLoop::watchProcessExit(int32_t pid,
                                                                            Callback onExit) {
  // A process that has already gone cannot be watched; one that ends between
  // this check and the source's start is reported at once by the source.
  if (pid < 1 || (::kill(pid, 0) != 0 && errno != EPERM)) return nullptr;
  auto watch = std::make_unique<ProcessSourceWatch>(pid, std::move(onExit));
  if (!watch->valid()) return nullptr;
  return watch;
}

std::unique_ptr<MainLoop::Subscription> MacosMainLoop::observeSessionEnd(
    SessionEndCallback onNotice) {
  if (!onNotice) return std::make_unique<Subscription>();
  return observeWorkspacePowerOff([onNotice = std::move(onNotice)] {
    onNotice({SessionEndNotice::Kind::powerOff, /*cancelIsAnnounced=*/false});
  });
}

void MacosMainLoop::exitProcess(int status) { std::exit(status); }

}  // namespace veldane
