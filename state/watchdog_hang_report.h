#ifndef VELDANE_STATE_WATCHDOG_HANG_REPORT_H_
#define VELDANE_STATE_WATCHDOG_HANG_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "state/host_hang_snapshot.h"
#include "state/watchdog_date.h"

namespace veldane {

// What the watchdog saw of a hung host just before it ended it, kept in
// "hang-report.json" (the last hang only) for the host's developer.
struct WatchdogHangReport {
  int64_t version = 1;
  int32_t pid = 0;
  std::optional<std::string> launchID;
  WatchdogDate at;  // when the hang was judged
  double secondsSilent = 0;
  double hangLimitSeconds = 0;
  // How long before the judgement the early CPU sample was taken; absent
  // without one (the watchdog started while the host was already silent).
  std::optional<double> sampleSeconds;
  // From the judgement to the signal.
  double snapshotSeconds = 0;
  std::string summary;
  std::string stacks;  // as HostHangSnapshot::stacks
  std::vector<HostThreadSnapshot> threads;

  static std::optional<WatchdogHangReport> fromJson(const nlohmann::json& json);
  std::optional<nlohmann::json> toJson() const;

  friend bool operator==(const WatchdogHangReport&, const WatchdogHangReport&) = default;
};

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_HANG_REPORT_H_
