#include "policy/watchdog_policy.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "state/unicode_text.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

// Inside means that the program's path continues past the bundle's with a
// "/", which keeps a sibling such as "/A.appx" and the bundle folder itself
// out of "/A.app". No composition reaches across a "/", so the program's
// folder at the bundle's depth is compared with the bundle on its own.
bool executableIsInsideBundle(const HostRunRecord& record, std::string_view ownedBundlePath) {
  const std::string program = WatchdogFiles::normalized(record.executablePath);
  size_t end = 0;
  for (size_t slashes = std::ranges::count(ownedBundlePath, '/'); slashes > 0; --slashes) {
    end = program.find('/', end + 1);
    if (end == std::string::npos) return false;
  }
  return UnicodeText::equal(std::string_view(program).substr(0, end), ownedBundlePath);
}

// Where both sides took the uptime, one boot's clock that nobody sets
// compares them; else the dates do.
bool crashLoopWasReset(const HostRunRecord& record, const WatchdogLedger& ledger) {
  if (!record.crashLoopResetAt || !ledger.stoppedAt) return false;
  if (record.crashLoopResetUptime && ledger.stoppedUptime) {
    return *record.crashLoopResetUptime > *ledger.stoppedUptime;
  }
  return *record.crashLoopResetAt > *ledger.stoppedAt;
}

WatchdogDecision judgeLiveHost(const WatchdogPolicy& policy, const WatchdogObservation& observation,
                               const HostRunRecord& record) {
  if (record.cleanExit || observation.recordProcessTraced || observation.hangKillIssued ||
      record.awayCoverUp.value_or(false)) {
    return WatchdogDecision::none();
  }
  if (observation.heartbeatCannotBeWritten) return WatchdogDecision::none();
  const Seconds limit = policy.hangLimit(record);
  const Seconds stalled = WatchdogPolicy::stalledFor(record, observation.uptime);
  // Written so that a stalled time that is not a number never kills.
  if (limit < stalled) return WatchdogDecision::killHungHost(record.pid);
  return WatchdogDecision::none();
}

WatchdogDecision judgeEndedRun(const WatchdogPolicy& policy, const WatchdogObservation& observation,
                               const HostRunRecord& record, WatchdogLedger& ledger) {
  // Another instance means the run may live on elsewhere: decide later,
  // without marking it handled.
  if (observation.otherInstanceRunning || record.cleanExit) return WatchdogDecision::none();
  if (ledger.handledLaunchID &&
      WatchdogPolicy::isSameRun(*ledger.handledLaunchID, record.launchID)) {
    return WatchdogDecision::none();
  }
  ledger.handledLaunchID = record.launchID;

  const bool hangNoteNamesRun =
      observation.hangNoteLaunchID &&
      WatchdogPolicy::isSameRun(*observation.hangNoteLaunchID, record.launchID);
  const WatchdogExitKind kind = observation.hangKillIssued || hangNoteNamesRun
                                    ? WatchdogExitKind::hang
                                    : WatchdogExitKind::crash;
  ledger.lastExit = kind;
  ledger.lastExitAt = observation.now;
  if (ledger.stoppedAt) return WatchdogDecision::endedWhileStopped(kind);

  std::vector<WatchdogDate> recent;
  for (const WatchdogDate& exit : ledger.unexpectedExits) {
    if (policy.isRecent(exit, observation.now)) recent.push_back(exit);
  }
  recent.push_back(observation.now);
  ledger.unexpectedExits = std::move(recent);
  ledger.lastRelaunchAt = observation.now;
  // A ledger file may hold any count; saturate rather than overflow.
  if (ledger.relaunches < std::numeric_limits<int64_t>::max()) ++ledger.relaunches;

  if (static_cast<int64_t>(ledger.unexpectedExits.size()) < policy.crashLoopLimit) {
    return WatchdogDecision::relaunch(kind);
  }
  ledger.stoppedAt = observation.now;
  ledger.stoppedUptime = observation.uptime.count();
  ledger.safeModeLaunchedAt = observation.now;
  return WatchdogDecision::stopAfterRepeatedCrashes(kind);
}

}  // namespace

bool WatchdogPolicy::isSameRun(std::string_view a, std::string_view b) {
  return UnicodeText::equal(a, b);
}

bool WatchdogPolicy::isThisBoot(std::string_view recorded, std::string_view current) {
  return UnicodeText::equal(recorded, current);
}

// Dates after `now` come from a clock that moved back and no longer count.
// A span too long for the clock's tick count is far outside any window, and
// is caught before the subtraction could overflow.
bool WatchdogPolicy::isRecent(WatchdogDate exit, WatchdogDate now) const {
  if (exit > now) return false;
  using Rep = WatchdogDate::rep;
  const Rep from = exit.time_since_epoch().count();
  const Rep to = now.time_since_epoch().count();
  if (from < 0 && to > std::numeric_limits<Rep>::max() + from) return false;
  return Seconds(WatchdogDate::duration(to - from)) < crashLoopWindow;
}

WatchdogDecision WatchdogPolicy::decide(const WatchdogObservation& observation,
                                        WatchdogLedger& ledger) const {
  // The ledger's books are kept per boot session, whatever else this tick says.
  if (!ledger.bootSession || !isThisBoot(*ledger.bootSession, observation.bootSession)) {
    ledger = WatchdogLedger{};
    ledger.bootSession = observation.bootSession;
  }
  if (!observation.record) return WatchdogDecision::none();
  const HostRunRecord& record = *observation.record;
  if (!isThisBoot(record.bootSession, observation.bootSession) ||
      !executableIsInsideBundle(record, observation.ownedBundlePath)) {
    return WatchdogDecision::none();
  }
  // A host ended by a logout or a power-off did not crash: its run is marked
  // judged, so that the watchdog of the next login leaves it alone too.
  if (observation.shuttingDown) {
    if (!observation.recordProcessAlive && !observation.otherInstanceRunning &&
        !record.cleanExit) {
      ledger.handledLaunchID = record.launchID;
    }
    return WatchdogDecision::none();
  }
  // Neither a hang nor an exit is judged while a relaunch and its retries are
  // under way; what they leave is judged once it is through.
  if (observation.launchUnderWay) return WatchdogDecision::none();

  // A stop dated after now was dated by a clock since set back: by the clock
  // as it is, the stop was now at the latest.
  if (ledger.stoppedAt && *ledger.stoppedAt > observation.now) ledger.stoppedAt = observation.now;
  if (crashLoopWasReset(record, ledger)) {
    ledger.stoppedAt.reset();
    ledger.stoppedUptime.reset();
    ledger.safeModeLaunchedAt.reset();
    ledger.unexpectedExits.clear();
  }

  if (observation.recordProcessAlive) return judgeLiveHost(*this, observation, record);
  return judgeEndedRun(*this, observation, record, ledger);
}

}  // namespace veldane
