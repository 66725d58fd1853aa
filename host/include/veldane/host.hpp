#ifndef VELDANE_HOST_HPP_
#define VELDANE_HOST_HPP_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "veldane/host.h"

namespace veldane {

// The two flags with which the watchdog relaunches the application.
inline constexpr const char* kRecoveredFlag = "--veldane-recovered";
inline constexpr const char* kSafeModeFlag = "--veldane-safe-mode";

struct HostStartOptions {
  // When absent or empty: CFBundleIdentifier of the bundle's Info.plist.
  std::optional<std::string> bundleIdentifier;
  // When absent: the .app bundle whose Contents/MacOS folder holds this
  // process's executable. The watchdog looks after a run only when the
  // executable lies inside the bundle. Symbolic links in it are resolved, as
  // the watchdog finds its bundle by its own resolved path.
  std::optional<std::string> bundlePath;
  // Beats closer than this to the last written heartbeat write nothing.
  std::chrono::milliseconds minimumBeatInterval{250};
};

// One run of the host application as the watchdog sees it: keeps host.json
// (the run record) and hang.json (the hang note) in the data folder that the
// watchdog derives for the same bundle. Header-only, over the C API: the
// library and the application may each have a C++ runtime of their own.
//
//   std::string why;
//   auto session = veldane::HostSession::start(argc, argv, {}, &why);
//   if (session && session->safeMode()) { ... start without plug-ins ... }
//   while (running) { ...; if (session) session->beat(); }
//   if (session) session->markCleanExit();
//
// No member throws, crashes or blocks for long on a failed write: each
// returns false then, and the application goes on. The members may be called
// from any thread; beat() belongs on the thread whose hang matters, and the
// library runs no thread of its own, so a hung thread stops beating.
//
// A session belongs to the process that started it. In a child made by
// fork(), every member that writes writes nothing and returns false, so that
// a child's beats never keep a hung parent alive. An application that
// daemonises carries its run over as a new one: the parent calls
// markCleanExit() before it forks and nothing after, and the child calls
// start() again, which records the child under a new launch ID.
//
// In a pid or time namespace the record names the process and its uptime as
// the initial namespaces see them, where the watchdog runs; start() fails
// where they cannot be learned (a pid namespace whose /proc is mounted from
// inside it), unless the bundle's watchdog is the init of that namespace and
// so sees the pids inside.
class HostSession {
 public:
  // Finds the bundle, its identifier and the data folder, takes a fresh
  // launch ID, reads the two flags from argv and writes the first record
  // (even when that write fails, the session starts). Null when the bundle,
  // identifier, data folder, own executable, the pid and uptime clock outside
  // a namespace, or randomness cannot be found, with the reason in `failure`
  // when given.
  static std::unique_ptr<HostSession> start(int argc, const char* const* argv,
                                            const HostStartOptions& options = {},
                                            std::string* failure = nullptr) noexcept {
    veldane_host_options given;
    veldane_host_options_init(&given);
    if (options.bundlePath) given.bundle_path = options.bundlePath->c_str();
    if (options.bundleIdentifier) given.bundle_identifier = options.bundleIdentifier->c_str();
    given.minimum_beat_interval_ms = options.minimumBeatInterval.count();
    try {
      // Room for a reason that names a path or two.
      std::string reason(failure ? 8192 : 0, '\0');
      Handle handle(
          veldane_host_start_with_options(argc, argv, &given, reason.data(), reason.size()));
      if (!handle) {
        if (failure) *failure = reason.c_str();
        return nullptr;
      }
      return std::unique_ptr<HostSession>(new HostSession(std::move(handle)));
    } catch (...) {
      return nullptr;
    }
  }

  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  // Writes nothing: a run that ends without markCleanExit() counts as a crash.
  ~HostSession() = default;

  // Records a heartbeat (uptime and wall clock) without flushing it to disk.
  // Never waits for another thread's write: it is skipped then, as it is
  // within minimumBeatInterval of the last written one; both count as true.
  bool beat() noexcept { return veldane_host_beat(host_.get()) != 0; }
  // Shorter hang limit while up.
  bool setCurtainUp(bool up) noexcept {
    return veldane_host_set_curtain_up(host_.get(), up ? 1 : 0) != 0;
  }
  // No hang judgement while up.
  bool setAwayCoverUp(bool up) noexcept {
    return veldane_host_set_away_cover_up(host_.get(), up ? 1 : 0) != 0;
  }
  // The run is ending normally: neither a hang nor a crash. Flushed to disk.
  bool markCleanExit() noexcept { return veldane_host_mark_clean_exit(host_.get()) != 0; }
  // Lifts the watchdog's stop after repeated crashes; the record says when,
  // on the wall clock and on the uptime clock. Flushed to disk.
  bool resetCrashLoop() noexcept { return veldane_host_reset_crash_loop(host_.get()) != 0; }
  // Writes hang.json for this run, so that its end counts as a hang.
  bool noteHang(double stalledSeconds) noexcept {
    return veldane_host_note_hang(host_.get(), stalledSeconds) != 0;
  }

  // Copies taken at start, as none of them changes during the run.
  const std::string& launchID() const noexcept { return launchID_; }
  const std::string& bundlePath() const noexcept { return bundlePath_; }
  const std::string& bundleIdentifier() const noexcept { return bundleIdentifier_; }
  const std::string& dataFolder() const noexcept { return dataFolder_; }
  bool recovered() const noexcept { return veldane_host_recovered(host_.get()) != 0; }
  bool safeMode() const noexcept { return veldane_host_safe_mode(host_.get()) != 0; }

 private:
  struct Free {
    void operator()(veldane_host* host) const noexcept { veldane_host_free(host); }
  };
  using Handle = std::unique_ptr<veldane_host, Free>;

  explicit HostSession(Handle host)
      : host_(std::move(host)),
        launchID_(veldane_host_launch_id(host_.get())),
        bundlePath_(veldane_host_bundle_path(host_.get())),
        bundleIdentifier_(veldane_host_bundle_identifier(host_.get())),
        dataFolder_(veldane_host_data_folder(host_.get())) {}

  Handle host_;
  std::string launchID_;
  std::string bundlePath_;
  std::string bundleIdentifier_;
  std::string dataFolder_;
};

namespace detail {
template <typename Call>
bool withReason(std::string* why, Call call) noexcept {
  try {
    // Room for a reason that names a path or two.
    std::string reason(why ? 8192 : 0, '\0');
    const bool done = call(why ? reason.data() : nullptr, reason.size()) != 0;
    if (why) *why = reason.c_str();
    return done;
  } catch (...) {
    return false;
  }
}
}  // namespace detail

// The watchdog of the application's bundle as a job of the user's session:
// it runs now and starts again at every login. Call it once, at install or
// first run; again is harmless. False, with a one-line reason in `why` when
// given, when it is not (the user must approve it in System Settings on
// macOS, there is no user manager on Linux, ...). Without `bundlePath`: the
// bundle around this process's executable. See veldane_register_watchdog.
//
//   std::string why;
//   if (!veldane::registerWatchdog(&why)) log("no watchdog: " + why);
inline bool registerWatchdog(std::string* why = nullptr,
                             const std::optional<std::string>& bundlePath = {}) noexcept {
  return detail::withReason(why, [&](char* text, size_t size) {
    return veldane_register_watchdog(bundlePath ? bundlePath->c_str() : nullptr, text, size);
  });
}

// Undoes registerWatchdog(): the watchdog stops and no longer starts, and
// nothing the registration wrote is left.
inline bool unregisterWatchdog(std::string* why = nullptr,
                               const std::optional<std::string>& bundlePath = {}) noexcept {
  return detail::withReason(why, [&](char* text, size_t size) {
    return veldane_unregister_watchdog(bundlePath ? bundlePath->c_str() : nullptr, text, size);
  });
}

// Opens System Settings at Login Items, where the user approves the
// watchdog (macOS 13 and later); false elsewhere.
inline bool openLoginItemsSettings(std::string* why = nullptr) noexcept {
  return detail::withReason(why, [&](char* text, size_t size) {
    return veldane_open_login_items_settings(text, size);
  });
}

}  // namespace veldane

#endif  // VELDANE_HOST_HPP_
