#ifndef VELDANE_POLICY_WATCHDOG_POLICY_H_
#define VELDANE_POLICY_WATCHDOG_POLICY_H_

#include <chrono>
#include <cstdint>
#include <string_view>

#include "policy/watchdog_decision.h"
#include "policy/watchdog_observation.h"
#include "state/seconds.h"
#include "state/watchdog_ledger.h"

namespace veldane {

// The watchdog's judgement: pure, it reads no clock and touches nothing but
// the ledger it is given.
//
//   WatchdogPolicy policy;
//   WatchdogDecision decision = policy.decide(observation, ledger);
struct WatchdogPolicy {
  Seconds hangTimeout{45};
  Seconds curtainHangTimeout{6};
  int64_t crashLoopLimit = 3;
  Seconds crashLoopWindow{300};

  // Judges one observation and keeps the ledger's books in place.
  WatchdogDecision decide(const WatchdogObservation& observation, WatchdogLedger& ledger) const;

  // Whether an unexpected exit at `exit` still counts towards the crash loop
  // at `now`: not after `now`, and less than crashLoopWindow before it. Any
  // two dates the clock can hold are compared without overflow.
  bool isRecent(WatchdogDate exit, WatchdogDate now) const;

  // The longest heartbeat silence tolerated from the run that `record` describes.
  Seconds hangLimit(const HostRunRecord& record) const {
    return record.curtainUp ? curtainHangTimeout : hangTimeout;
  }

  // How long the run that `record` describes has been silent at `uptime`, on
  // the uptime clock of this boot; not a number when either is not one.
  static Seconds stalledFor(const HostRunRecord& record, Seconds uptime) {
    return uptime - Seconds(record.heartbeatUptime);
  }

  // Whether two launch IDs name the same run: under canonical equivalence,
  // as every text the host writes is compared.
  static bool isSameRun(std::string_view a, std::string_view b);

  // Whether a boot session written down earlier is this boot's, compared as
  // launch IDs are.
  static bool isThisBoot(std::string_view recorded, std::string_view current);

  friend bool operator==(const WatchdogPolicy&, const WatchdogPolicy&) = default;
};

}  // namespace veldane

#endif  // VELDANE_POLICY_WATCHDOG_POLICY_H_
