#ifndef VELDANE_POLICY_WATCHDOG_OBSERVATION_H_
#define VELDANE_POLICY_WATCHDOG_OBSERVATION_H_

#include <optional>
#include <string>

#include "state/host_run_record.h"
#include "state/seconds.h"
#include "state/watchdog_date.h"

namespace veldane {

// What the watchdog saw on one tick: the policy's whole input.
struct WatchdogObservation {
  std::optional<HostRunRecord> record;
  // Normalised (WatchdogFiles::normalized), as WatchdogFiles::hostBundlePath gives it.
  std::string ownedBundlePath;
  bool recordProcessAlive = false;
  bool recordProcessTraced = false;
  bool otherInstanceRunning = false;
  std::string bootSession;
  WatchdogDate now;
  Seconds uptime{0};
  // The machine or the user's session is ending: exits seen now are its doing.
  bool shuttingDown = false;
  // A relaunch is under way: nothing is judged until it is through.
  bool launchUnderWay = false;
  bool hangKillIssued = false;
  std::optional<std::string> hangNoteLaunchID;
  // The host's data folder has no room for its record (a full disk, a
  // read-only remount): a silent heartbeat is then no sign of a hang.
  bool heartbeatCannotBeWritten = false;

  friend bool operator==(const WatchdogObservation&, const WatchdogObservation&) = default;
};

}  // namespace veldane

#endif  // VELDANE_POLICY_WATCHDOG_OBSERVATION_H_
