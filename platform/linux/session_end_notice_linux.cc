#include "platform/linux/session_end_notice_linux.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/run_guarded.h"

namespace veldane {
namespace {

// Where sd-bus looks for the system bus. Without one, trying to connect only
// costs time and pages in code (the watchdog never tries again).
bool systemBusMayBeThere() {
  return std::getenv("DBUS_SYSTEM_BUS_ADDRESS") != nullptr ||
         access("/run/dbus/system_bus_socket", F_OK) == 0;
}

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

std::unique_ptr<MainLoop::Subscription> observeSessionEnd(sd_event* event, sd_bus*& bus,
                                                          MainLoop::SessionEndCallback onNotice) {
  auto watch = std::make_unique<SessionEndWatch>(std::move(onNotice));
  // Without a system bus no shutdown can be announced.
  if (bus == nullptr && systemBusMayBeThere()) {
    sd_bus* opened = nullptr;
    if (sd_bus_open_system(&opened) >= 0) {
      if (sd_bus_attach_event(opened, event, SD_EVENT_PRIORITY_NORMAL) >= 0) {
        bus = opened;
      } else {
        sd_bus_flush_close_unref(opened);
      }
    }
  }
  if (bus != nullptr) watch->watchShutdown(bus);
  watch->watchLogin(event);
  return watch;
}

}  // namespace veldane
