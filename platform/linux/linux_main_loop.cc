#include "platform/linux/linux_main_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "platform/linux/pidfd_exit_watch.h"
#include "platform/linux/sd_event_callback.h"
#include "platform/linux/session_end_notice_linux.h"
#include "platform/linux/sigterm_exit_linux.h"
#include "state/scoped_fd.h"

namespace veldane {
namespace {

constexpr uint64_t kMicrosecondsPerSecond = 1000000;
// About thirty years: far enough to mean "never", short of sd-event's infinity.
constexpr Seconds kLongestDelay{1e9};
// Delayed work (the launch delay) runs on time: with any slack, sd-event moves
// the wake-up to a coalescing point up to that much later.
constexpr uint64_t kRunAfterAccuracy = 1;

uint64_t microseconds(Seconds span) {
  if (!(span > Seconds::zero())) return 0;  // Also NaN.
  const Seconds bounded = std::min(span, kLongestDelay);
  return static_cast<uint64_t>(std::chrono::ceil<std::chrono::microseconds>(bounded).count());
}

// Measured from the real present, not from the start of the loop iteration
// that sd-event's relative timers would count from.
uint64_t deadlineAfter(Seconds delay) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kMicrosecondsPerSecond +
         static_cast<uint64_t>(now.tv_nsec) / 1000 + microseconds(delay);
}

// A timer keeps its callback for the next arming. sd-event frees the box only
// after this returns, even when the callback drops the timer's handle.
int onTimer(sd_event_source*, uint64_t, void* userdata) {
  runGuarded(static_cast<CallbackBox*>(userdata)->callback);
  return 0;
}

int onDetachedTimer(sd_event_source* source, uint64_t, void* userdata) {
  // The source stays valid until this handler returns and is freed then.
  sd_event_source_unref(source);
  runOnce(userdata);
  return 0;
}

// The callback may drop its own handle: sd-event frees the source only after
// this returns.
int onFdReadable(sd_event_source*, int, uint32_t, void* userdata) {
  runGuarded(static_cast<CallbackBox*>(userdata)->callback);
  return 0;
}

// Children of this process are only ever reaped here: the launcher has
// reaped its own before the loop runs again.
int onChildEnded(sd_event_source*, const struct signalfd_siginfo*, void*) {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  return 0;
}

uint64_t timerAccuracy(Seconds tolerance) { return std::max<uint64_t>(microseconds(tolerance), 1); }

class SourceTimer final : public MainLoop::Timer {
 public:
  explicit SourceTimer(sd_event_source* source) : source_(source) {}
  ~SourceTimer() override { sd_event_source_disable_unref(source_); }
  SourceTimer(const SourceTimer&) = delete;
  SourceTimer& operator=(const SourceTimer&) = delete;

  // Moves the one source: no allocation, and the loop re-arms its timerfd
  // once, before it next waits.
  bool reschedule(Seconds delay, Seconds tolerance) override {
    return sd_event_source_set_time(source_, deadlineAfter(delay)) >= 0 &&
           sd_event_source_set_time_accuracy(source_, timerAccuracy(tolerance)) >= 0 &&
           sd_event_source_set_enabled(source_, SD_EVENT_ONESHOT) >= 0;
  }

 private:
  sd_event_source* source_;
};

class SourceSubscription final : public MainLoop::Subscription {
 public:
  explicit SourceSubscription(sd_event_source* source) : source_(source) {}
  ~SourceSubscription() override { sd_event_source_disable_unref(source_); }
  SourceSubscription(const SourceSubscription&) = delete;
  SourceSubscription& operator=(const SourceSubscription&) = delete;

 private:
  sd_event_source* source_;
};

}  // namespace

LinuxMainLoop::LinuxMainLoop() {
  if (sd_event_new(&event_) < 0) event_ = nullptr;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return;
  ScopedFd wake(wake_fd_);
  if (sd_event_add_io(event_, &posted_source_, wake_fd_, EPOLLIN, onPosted, this) < 0) {
    wake_fd_ = -1;
    return;
  }
  // The source closes it from now on.
  sd_event_source_set_io_fd_own(posted_source_, 1);
  wake.release();
}

LinuxMainLoop::~LinuxMainLoop() {
  sd_event_source_disable_unref(posted_source_);
  sd_event_source_disable_unref(sigchld_source_);
  if (bus_ != nullptr) {
    sd_bus_detach_event(bus_);
    sd_bus_flush_close_unref(bus_);
  }
  sd_event_unref(event_);
}

bool LinuxMainLoop::reapOrphans() {
  int subreaper = 0;
  if (getpid() != 1 && (prctl(PR_GET_CHILD_SUBREAPER, &subreaper) != 0 || subreaper == 0)) {
    return true;
  }
  if (sigchld_source_ != nullptr) return true;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  if (sd_event_add_signal(event_, &sigchld_source_, SIGCHLD, onChildEnded, nullptr) < 0) {
    sigchld_source_ = nullptr;
    return false;
  }
  // Those that ended before.
  onChildEnded(nullptr, nullptr, nullptr);
  return true;
}

int LinuxMainLoop::run() { return sd_event_loop(event_); }

void LinuxMainLoop::quit(int status) { sd_event_exit(event_, status); }

int LinuxMainLoop::runOneIteration(Seconds timeout) {
  const int result = sd_event_run(event_, microseconds(timeout));
  return result > 0 ? 1 : result;
}

std::unique_ptr<MainLoop::Subscription> LinuxMainLoop::watchReadable(int fd, Callback onReadable) {
  auto box = std::make_unique<CallbackBox>(CallbackBox{std::move(onReadable)});
  sd_event_source* source = nullptr;
  if (sd_event_add_io(event_, &source, fd, EPOLLIN, onFdReadable, box.get()) < 0) return nullptr;
  sd_event_source_set_destroy_callback(source, deleteBox);
  box.release();
  return std::make_unique<SourceSubscription>(source);
}

std::unique_ptr<MainLoop::Timer> LinuxMainLoop::oneShotTimer(Seconds delay, Seconds tolerance,
                                                             Callback callback) {
  auto box = std::make_unique<CallbackBox>(CallbackBox{std::move(callback)});
  sd_event_source* source = nullptr;
  if (sd_event_add_time(event_, &source, CLOCK_MONOTONIC, deadlineAfter(delay),
                        timerAccuracy(tolerance), onTimer, box.get()) < 0) {
    return nullptr;
  }
  sd_event_source_set_destroy_callback(source, deleteBox);
  box.release();
  return std::make_unique<SourceTimer>(source);
}

void LinuxMainLoop::runAfter(Seconds delay, Callback work) {
  auto box = std::make_unique<CallbackBox>(CallbackBox{std::move(work)});
  sd_event_source* source = nullptr;
  if (sd_event_add_time(event_, &source, CLOCK_MONOTONIC, deadlineAfter(delay), kRunAfterAccuracy,
                        onDetachedTimer, box.get()) < 0) {
    return;
  }
  sd_event_source_set_destroy_callback(source, deleteBox);
  box.release();
  // The loop keeps it until it fires, and frees it if it is itself freed first.
  sd_event_source_set_floating(source, 1);
  sd_event_source_unref(source);
}

void LinuxMainLoop::post(Callback work) {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(work));
  }
  const uint64_t one = 1;
  if (write(wake_fd_, &one, sizeof one) < 0) {
    // Only a saturated counter refuses, and then a wake-up is pending anyway.
  }
}

int LinuxMainLoop::onPosted(sd_event_source*, int fd, uint32_t, void* userdata) {
  uint64_t count = 0;
  if (read(fd, &count, sizeof count) < 0) {
    // Nothing was pending; the queue is checked all the same.
  }
  static_cast<LinuxMainLoop*>(userdata)->runPosted();
  return 0;
}

void LinuxMainLoop::runPosted() {
  std::vector<Callback> batch;
  {
    std::lock_guard lock(posted_mutex_);
    batch.swap(posted_);
  }
  for (const Callback& work : batch) runGuarded(work);
}

bool LinuxMainLoop::exitOnSigterm() {
  if (!exitsOnSigterm_) exitsOnSigterm_ = startSigtermExit();
  return exitsOnSigterm_;
}

std::unique_ptr<MainLoop::ProcessExitWatch> LinuxMainLoop::watchProcessExit(int32_t pid,
                                                                            Callback onExit) {
  return watchPidfdExit(event_, pid, std::move(onExit));
}

std::unique_ptr<MainLoop::Subscription> LinuxMainLoop::observeSessionEnd(
    SessionEndCallback onNotice) {
  return veldane::observeSessionEnd(event_, bus_, std::move(onNotice));
}

void LinuxMainLoop::exitProcess(int status) { std::exit(status); }

}  // namespace veldane
