#ifndef VELDANE_POLICY_WATCHDOG_POLICY_H_
#define VELDANE_POLICY_WATCHDOG_POLICY_H_

#include <chrono>
#include <cstdint>

#include "policy/watchdog_decision.h"
#include "policy/watchdog_observation.h"
#include "state/watchdog_ledger.h"

namespace veldane {

// The watchdog's judgement: pure, it reads no clock and touches nothing but
// the ledger it is given.
//
//   WatchdogPolicy policy;
//   WatchdogDecision decision = policy.decide(observation, ledger);
struct WatchdogPolicy {
  double hangTimeout = 45;
  double curtainHangTimeout = 6;
  int64_t crashLoopLimit = 3;
  double crashLoopWindow = 300;

  // Judges one observation and keeps the ledger's books in place.
  WatchdogDecision decide(const WatchdogObservation& observation, WatchdogLedger& ledger) const;

  // Whether an unexpected exit at `exit` still counts towards the crash loop
  // at `now`: not after `now`, and less than crashLoopWindow before it. Any
  // two dates the clock can hold are compared without overflow.
  bool isRecent(WatchdogDate exit, WatchdogDate now) const;

  // The longest heartbeat silence tolerated from the run that `record` describes.
  double hangLimit(const HostRunRecord& record) const {
    return record.curtainUp ? curtainHangTimeout : hangTimeout;
  }

  friend bool operator==(const WatchdogPolicy&, const WatchdogPolicy&) = default;
};

}  // namespace veldane

#endif  // VELDANE_POLICY_WATCHDOG_POLICY_H_
