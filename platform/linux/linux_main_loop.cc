#include "platform/linux/linux_main_loop.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <systemd/sd-login.h>
#include <unistd.h>
extern "C" {
// glibc 2.36 declares these without C linkage; what it includes comes first.
#include <sys/pidfd.h>
}

#include <limits.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string_view>
#include <utility>

namespace veldane {
namespace {

constexpr uint64_t kMicrosecondsPerSecond = 1000000;
// About thirty years: far enough to mean "never", short of sd-event's infinity.
constexpr double kLongestDelayMicroseconds = 1e15;
// Delayed work (the launch delay) runs on time: with any slack, sd-event moves
// the wake-up to a coalescing point up to that much later.
constexpr uint64_t kRunAfterAccuracy = 1;

// A callback owned by its event source, freed together with it.
struct CallbackBox {
  MainLoop::Callback callback;
};

void deleteBox(void* userdata) { delete static_cast<CallbackBox*>(userdata); }

// The loop must survive a faulty callback.
void runGuarded(const MainLoop::Callback& callback) noexcept {
  if (!callback) return;
  try {
    callback();
  } catch (...) {
  }
}

// Takes the callback out first, so that it stays alive even when it destroys
// its own handle.
void runOnce(void* userdata) {
  MainLoop::Callback callback = std::move(static_cast<CallbackBox*>(userdata)->callback);
  static_cast<CallbackBox*>(userdata)->callback = nullptr;
  runGuarded(callback);
}

// Rounded up by hand: std::ceil is a call into libm on every tick, whose
// pages would otherwise stay mapped for it alone.
uint64_t microseconds(double seconds) {
  if (!(seconds > 0)) return 0;  // Also NaN.
  const double exact = std::min(seconds * kMicrosecondsPerSecond, kLongestDelayMicroseconds);
  const auto whole = static_cast<uint64_t>(exact);
  return static_cast<double>(whole) < exact ? whole + 1 : whole;
}

// Measured from the real present, not from the start of the loop iteration
// that sd-event's relative timers would count from.
uint64_t deadlineAfter(double delay) {
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

int onProcessExit(sd_event_source* source, int, uint32_t, void* userdata) {
  sd_event_source_set_enabled(source, SD_EVENT_OFF);
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

// _exit rather than exit: the main thread may be anywhere, and must not see
// the static objects destroyed under it.
void* exitOnceTerminated(void*) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  int signal = 0;
  while (sigwait(&term, &signal) != 0) {
  }
  _exit(0);
}

// Where sd-bus looks for the system bus. Without one, trying to connect only
// costs time and pages in code (the watchdog never tries again).
bool systemBusMayBeThere() {
  return std::getenv("DBUS_SYSTEM_BUS_ADDRESS") != nullptr ||
         access("/run/dbus/system_bus_socket", F_OK) == 0;
}

uint64_t timerAccuracy(double tolerance) { return std::max<uint64_t>(microseconds(tolerance), 1); }

class SourceTimer final : public MainLoop::Timer {
 public:
  explicit SourceTimer(sd_event_source* source) : source_(source) {}
  ~SourceTimer() override { sd_event_source_disable_unref(source_); }
  SourceTimer(const SourceTimer&) = delete;
  SourceTimer& operator=(const SourceTimer&) = delete;

  // Moves the one source: no allocation, and the loop re-arms its timerfd
  // once, before it next waits.
  bool reschedule(double delay, double tolerance) override {
    return sd_event_source_set_time(source_, deadlineAfter(delay)) >= 0 &&
           sd_event_source_set_time_accuracy(source_, timerAccuracy(tolerance)) >= 0 &&
           sd_event_source_set_enabled(source_, SD_EVENT_ONESHOT) >= 0;
  }

 private:
  sd_event_source* source_;
};

class PidfdWatch final : public MainLoop::ProcessExitWatch {
 public:
  // The source owns `pidfd` and closes it when freed.
  PidfdWatch(sd_event_source* source, int pidfd) : source_(source), pidfd_(pidfd) {}
  ~PidfdWatch() override { sd_event_source_disable_unref(source_); }
  PidfdWatch(const PidfdWatch&) = delete;
  PidfdWatch& operator=(const PidfdWatch&) = delete;

  bool sendSignal(int signal) override {
    return pidfd_send_signal(pidfd_, signal, nullptr, 0) == 0;
  }

 private:
  sd_event_source* source_;
  int pidfd_;
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

// What logind says of the machine (PrepareForShutdown on the system bus) and
// of this user (sd-login's state of the uid, whose files it watches with
// inotify): both are events on the loop, and a tick asks nothing of them.
// logind says when either end is called off: PrepareForShutdown(false) for a
// cancelled shutdown, the user back in a session after a logout.
class SessionEndWatch final : public MainLoop::Subscription {
 public:
  using Kind = MainLoop::SessionEndNotice::Kind;

  explicit SessionEndWatch(MainLoop::SessionEndCallback onNotice)
      : onNotice_(std::move(onNotice)) {}
  ~SessionEndWatch() override {
    sd_bus_slot_unref(slot_);
    sd_event_source_disable_unref(loginSource_);
    sd_login_monitor_unref(monitor_);
  }
  SessionEndWatch(const SessionEndWatch&) = delete;
  SessionEndWatch& operator=(const SessionEndWatch&) = delete;

  void watchShutdown(sd_bus* bus) {
    if (sd_bus_match_signal(bus, &slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForShutdown",
                            onPrepareForShutdown, this) < 0) {
      slot_ = nullptr;
    }
  }

  // Only a change from a session to none is a logout: a watchdog that starts
  // while the user lingers without one has seen no session end.
  void watchLogin(sd_event* event) {
    if (sd_login_monitor_new("uid", &monitor_) < 0) {
      monitor_ = nullptr;
      return;
    }
    const int fd = sd_login_monitor_get_fd(monitor_);
    const int events = sd_login_monitor_get_events(monitor_);
    if (fd < 0 || events < 0 ||
        sd_event_add_io(event, &loginSource_, fd, static_cast<uint32_t>(events), onLoginChanged,
                        this) < 0) {
      loginSource_ = nullptr;
      return;
    }
    inSession_ = userInSession().value_or(false);
  }

 private:
  static int onPrepareForShutdown(sd_bus_message* message, void* userdata, sd_bus_error*) {
    int starting = 0;
    if (sd_bus_message_read(message, "b", &starting) < 0) return 0;
    static_cast<SessionEndWatch*>(userdata)->notify(starting ? Kind::powerOff
                                                             : Kind::powerOffCancelled);
    return 0;
  }

  static int onLoginChanged(sd_event_source*, int, uint32_t, void* userdata) {
    static_cast<SessionEndWatch*>(userdata)->loginChanged();
    return 0;
  }

  // Absent while the state says neither (being set up, or unknown).
  static std::optional<bool> userInSession() {
    char* state = nullptr;
    if (sd_uid_get_state(getuid(), &state) < 0 || state == nullptr) return std::nullopt;
    const std::string_view text(state);
    std::optional<bool> inSession;
    if (text == "active" || text == "online") inSession = true;
    if (text == "closing" || text == "lingering" || text == "offline") inSession = false;
    free(state);
    return inSession;
  }

  void loginChanged() {
    sd_login_monitor_flush(monitor_);
    const std::optional<bool> inSession = userInSession();
    if (!inSession || *inSession == inSession_) return;
    inSession_ = *inSession;
    notify(inSession_ ? Kind::logoutCancelled : Kind::logout);
  }

  // A copy, as the subscription may be dropped while it runs.
  void notify(Kind kind) {
    MainLoop::SessionEndCallback callback = onNotice_;
    runGuarded([&] {
      if (callback) callback({kind, /*cancelIsAnnounced=*/true});
    });
  }

  MainLoop::SessionEndCallback onNotice_;
  sd_bus_slot* slot_ = nullptr;
  sd_login_monitor* monitor_ = nullptr;
  sd_event_source* loginSource_ = nullptr;
  bool inSession_ = false;
};

}  // namespace

LinuxMainLoop::LinuxMainLoop() {
  if (sd_event_new(&event_) < 0) event_ = nullptr;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return;
  if (sd_event_add_io(event_, &posted_source_, wake_fd_, EPOLLIN, onPosted, this) < 0) {
    close(wake_fd_);
    wake_fd_ = -1;
    return;
  }
  sd_event_source_set_io_fd_own(posted_source_, 1);
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

bool LinuxMainLoop::exitOnSigterm() {
  if (exitsOnSigterm_) return true;
  std::signal(SIGTERM, SIG_IGN);
  // Blocked, the signal still queues despite SIG_IGN, and sigwait takes it.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  // It only waits: a small stack will do.
  pthread_attr_setstacksize(&attributes, std::max<size_t>(PTHREAD_STACK_MIN, 64 * 1024));
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Every signal blocked in it, so that none the loop reads is taken there.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t waiter;
  exitsOnSigterm_ = pthread_create(&waiter, &attributes, exitOnceTerminated, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  return exitsOnSigterm_;
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

int LinuxMainLoop::runOneIteration(double timeout) {
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

std::unique_ptr<MainLoop::Timer> LinuxMainLoop::oneShotTimer(double delay, double tolerance,
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

void LinuxMainLoop::runAfter(double delay, Callback work) {
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

std::unique_ptr<MainLoop::ProcessExitWatch> LinuxMainLoop::watchProcessExit(int32_t pid,
                                                                            Callback onExit) {
  if (pid < 1) return nullptr;
  const int pidfd = pidfd_open(pid, 0);
  if (pidfd < 0) return nullptr;
  auto box = std::make_unique<CallbackBox>(CallbackBox{std::move(onExit)});
  sd_event_source* source = nullptr;
  if (sd_event_add_io(event_, &source, pidfd, EPOLLIN, onProcessExit, box.get()) < 0) {
    close(pidfd);
    return nullptr;
  }
  sd_event_source_set_io_fd_own(source, 1);
  sd_event_source_set_destroy_callback(source, deleteBox);
  box.release();
  return std::make_unique<PidfdWatch>(source, pidfd);
}

std::unique_ptr<MainLoop::Subscription> LinuxMainLoop::observeSessionEnd(
    SessionEndCallback onNotice) {
  auto watch = std::make_unique<SessionEndWatch>(std::move(onNotice));
  // Without a system bus no shutdown can be announced.
  if (bus_ == nullptr && systemBusMayBeThere()) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) >= 0) {
      if (sd_bus_attach_event(bus, event_, SD_EVENT_PRIORITY_NORMAL) >= 0) {
        bus_ = bus;
      } else {
        sd_bus_flush_close_unref(bus);
      }
    }
  }
  if (bus_ != nullptr) watch->watchShutdown(bus_);
  watch->watchLogin(event_);
  return watch;
}

void LinuxMainLoop::exitProcess(int status) { std::exit(status); }

}  // namespace veldane
