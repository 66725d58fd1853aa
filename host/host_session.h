#ifndef VELDANE_HOST_HOST_SESSION_H_
#define VELDANE_HOST_HOST_SESSION_H_

#include <memory>
#include <string>

#include "host/host_start_options.h"

// The library's own session, behind the C API (host.h); applications see it
// only through that, or through host.hpp's header-only layer over it, so that
// no C++ type crosses between the library's C++ runtime and theirs. Hidden,
// as everything in the library but the veldane_* functions.
namespace veldane::internal {

// One run of the host application as the watchdog sees it: keeps host.json
// (the run record) and hang.json (the hang note) in the data folder that the
// watchdog derives for the same bundle. No member throws, crashes or blocks
// for long on a failed write: each returns false then. The members may be
// called from any thread; in a child made by fork() every member that writes
// writes nothing and returns false.
class HostSession {
 public:
  // Null when the bundle, identifier, data folder, own executable, the pid
  // and uptime clock outside a namespace, or randomness cannot be found, with
  // the reason in `failure` when given.
  static std::unique_ptr<HostSession> start(int argc, const char* const* argv,
                                            const HostStartOptions& options = {},
                                            std::string* failure = nullptr) noexcept;

  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  ~HostSession();

  bool beat() noexcept;
  bool setCurtainUp(bool up) noexcept;
  bool setAwayCoverUp(bool up) noexcept;
  bool markCleanExit() noexcept;
  bool resetCrashLoop() noexcept;
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

}  // namespace veldane::internal

#endif  // VELDANE_HOST_HOST_SESSION_H_
