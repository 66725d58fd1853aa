#ifndef VELDANE_PLATFORM_WATCHDOG_REGISTRATION_H_
#define VELDANE_PLATFORM_WATCHDOG_REGISTRATION_H_

#include <optional>
#include <string>

namespace veldane {

// What a registration call achieved: done, or a one-line reason why not.
struct WatchdogRegistrationResult {
  bool done = false;
  std::string why;

  friend bool operator==(const WatchdogRegistrationResult&,
                         const WatchdogRegistrationResult&) = default;
};

// What the system's job manager says of a bundle's watchdog.
struct WatchdogRegistrationStatus {
  std::string job;                 // its name with the job manager
  std::optional<bool> registered;  // started again at every login; absent: unknown
  std::optional<bool> running;     // absent: unknown
  std::string state;               // the job manager's own words, for a person
  std::string why;                 // why something is unknown

  friend bool operator==(const WatchdogRegistrationStatus&,
                         const WatchdogRegistrationStatus&) = default;
};

// The watchdog of one bundle as a job of the user's session: a systemd user
// unit on Linux, a launch agent of the application (SMAppService) on macOS.
// `bundlePath` is resolved and normalised. Every call is bounded in time (8
// seconds at most on Linux; on macOS SMAppService sets its own), throws
// nothing but std::bad_alloc and may be made from any thread.
namespace WatchdogRegistration {

// Runs the bundle's watchdog now and at every login. Done again is harmless.
WatchdogRegistrationResult enable(const std::string& bundlePath);

// Stops it, and it no longer starts; what enable() wrote is removed.
WatchdogRegistrationResult disable(const std::string& bundlePath);

WatchdogRegistrationStatus status(const std::string& bundlePath);

// Opens the settings where the user approves the watchdog (macOS's Login
// Items); not done where the system asks for no approval.
WatchdogRegistrationResult openApprovalSettings();

}  // namespace WatchdogRegistration
}  // namespace veldane

#endif  // VELDANE_PLATFORM_WATCHDOG_REGISTRATION_H_
