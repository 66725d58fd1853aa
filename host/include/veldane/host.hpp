#ifndef VELDANE_HOST_HPP_
#define VELDANE_HOST_HPP_

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "veldane/host_export.h"

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
// watchdog derives for the same bundle.
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
class VELDANE_HOST_EXPORT HostSession {
 public:
  // Finds the bundle, its identifier and the data folder, takes a fresh
  // launch ID, reads the two flags from argv and writes the first record
  // (even when that write fails, the session starts). Null when the bundle,
  // identifier, data folder, own executable, the pid and uptime clock outside
  // a namespace, or randomness cannot be found, with the reason in `failure`
  // when given.
  static std::unique_ptr<HostSession> start(int argc, const char* const* argv,
                                            const HostStartOptions& options = {},
                                            std::string* failure = nullptr) noexcept;

  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  // Writes nothing: a run that ends without markCleanExit() counts as a crash.
  ~HostSession();

  // Records a heartbeat (uptime and wall clock) without flushing it to disk.
  // Never waits for another thread's write: it is skipped then, as it is
  // within minimumBeatInterval of the last written one; both count as true.
  bool beat() noexcept;
  // Shorter hang limit while up.
  bool setCurtainUp(bool up) noexcept;
  // No hang judgement while up.
  bool setAwayCoverUp(bool up) noexcept;
  // The run is ending normally: neither a hang nor a crash. Flushed to disk.
  bool markCleanExit() noexcept;
  // Lifts the watchdog's stop after repeated crashes; the record says when,
  // on the wall clock and on the uptime clock. Flushed to disk.
  bool resetCrashLoop() noexcept;
  // Writes hang.json for this run, so that its end counts as a hang.
  bool noteHang(double stalledSeconds) noexcept;

  const std::string& launchID() const noexcept;
  const std::string& bundlePath() const noexcept;
  const std::string& bundleIdentifier() const noexcept;
  const std::string& dataFolder() const noexcept;
  bool recovered() const noexcept;
  bool safeMode() const noexcept;

 private:
  struct State;
  explicit HostSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace veldane

#endif  // VELDANE_HOST_HPP_
