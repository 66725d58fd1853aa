#ifndef VELDANE_STATE_WATCHDOG_LEDGER_H_
#define VELDANE_STATE_WATCHDOG_LEDGER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "state/watchdog_date.h"
#include "state/watchdog_exit_kind.h"

namespace veldane {

// The watchdog's own memory, kept in "watchdog.json" so that its judgement
// survives its restarts. A default-constructed ledger is the empty ledger.
struct WatchdogLedger {
  static constexpr int64_t kCurrentVersion = 1;

  int64_t version = kCurrentVersion;
  std::optional<std::string> bootSession;
  std::vector<WatchdogDate> unexpectedExits;
  std::optional<std::string> handledLaunchID;
  int64_t relaunches = 0;
  std::optional<WatchdogDate> lastRelaunchAt;
  std::optional<WatchdogExitKind> lastExit;
  std::optional<WatchdogDate> lastExitAt;
  std::optional<WatchdogDate> stoppedAt;
  std::optional<WatchdogDate> safeModeLaunchedAt;
  // The host's arguments of a relaunch that was decided and not yet carried
  // out, so that a watchdog stopped in between carries it out on its return.
  // Written beside the ten fields above, which keep their meaning; a reader
  // that does not know it ignores it.
  std::optional<std::vector<std::string>> pendingRelaunch = std::nullopt;
  // The uptime of `stoppedAt`, so that a crash-loop reset is compared with
  // the stop on one boot's clock, whatever the wall clock did since.
  std::optional<double> stoppedUptime = std::nullopt;

  // Decoding starts from the empty ledger; any breach discards the whole
  // document (absent), nothing is repaired field by field.
  static std::optional<WatchdogLedger> fromJson(const nlohmann::json& json);
  // Optional fields are left out when absent, never written as null.
  std::optional<nlohmann::json> toJson() const;

  friend bool operator==(const WatchdogLedger&, const WatchdogLedger&) = default;
};

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_LEDGER_H_
