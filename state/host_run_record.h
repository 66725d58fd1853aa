#ifndef VELDANE_STATE_HOST_RUN_RECORD_H_
#define VELDANE_STATE_HOST_RUN_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "state/watchdog_date.h"

namespace veldane {

// The host application's account of its current run, kept by the host in
// "host.json". The watchdog only reads it.
struct HostRunRecord {
  int64_t version = 1;
  int32_t pid = 0;
  std::string launchID;
  std::string bootSession;
  std::string executablePath;
  WatchdogDate startedAt;
  double heartbeatUptime = 0;
  WatchdogDate heartbeatAt;
  bool cleanExit = false;
  bool curtainUp = false;
  bool safeMode = false;
  std::optional<WatchdogDate> crashLoopResetAt;
  std::optional<bool> awayCoverUp;
  // The uptime (heartbeatUptime's clock) of crashLoopResetAt, so that a reset
  // still compares right when the wall clock was set back. Written beside the
  // thirteen fields above, which keep their meaning; a reader that does not
  // know it ignores it.
  std::optional<double> crashLoopResetUptime = std::nullopt;

  // A launch ID longer than this is no identifier the host library makes, and
  // the ledger that keeps it must stay within what the watchdog reads back.
  static constexpr size_t kMaxLaunchIDSize = 1024;

  // Strict decoding: absent on any missing required key, wrong type,
  // out-of-range integer, bad date text or over-long launch ID. Unknown keys
  // are ignored. The texts are moved out of `json`, which every tick decodes.
  static std::optional<HostRunRecord> fromJson(nlohmann::json json);
  // Absent only when a date cannot be written in the file form or an uptime
  // is not a finite number.
  std::optional<nlohmann::json> toJson() const;

  friend bool operator==(const HostRunRecord&, const HostRunRecord&) = default;
};

}  // namespace veldane

#endif  // VELDANE_STATE_HOST_RUN_RECORD_H_
