#include "policy/watchdog_policy.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace veldane {
namespace {

using std::chrono::floor, std::chrono::milliseconds, std::chrono::seconds;
using Decision = WatchdogDecision;
using Kind = WatchdogExitKind;

const WatchdogDate kNow = std::chrono::sys_days{std::chrono::year{2025} / 3 / 1};
const std::string kBundle = "/Applications/Veldane.app";
constexpr int32_t kPid = 4242;
const Decision kNone = Decision::none(), kKill = Decision::killHungHost(kPid);
const Decision kRelaunch = Decision::relaunch(Kind::crash);
const Decision kHangRelaunch = Decision::relaunch(Kind::hang);

// A run of this boot, owned by kBundle, that ended without a clean exit.
WatchdogObservation endedRun(std::string launchID = "run-1", WatchdogDate now = kNow) {
  WatchdogObservation observation;
  observation.record = HostRunRecord();
  observation.record->pid = kPid;
  observation.record->launchID = std::move(launchID);
  observation.record->bootSession = observation.bootSession = "boot-1";
  observation.record->executablePath = kBundle + "/Contents/MacOS/Veldane";
  observation.record->heartbeatUptime = 1000;
  observation.uptime = Seconds(1000);
  observation.ownedBundlePath = kBundle;
  observation.now = now;
  return observation;
}

WatchdogLedger ledgerOfBoot(std::string bootSession = "boot-1") {
  WatchdogLedger ledger;
  ledger.bootSession = std::move(bootSession);
  return ledger;
}

Decision decide(const WatchdogObservation& observation, WatchdogLedger& ledger) {
  return WatchdogPolicy{}.decide(observation, ledger);
}

TEST(WatchdogPolicy, FollowsDecisionTable) {
  // What the watchdog sees, an ended run unless made alive, and its ledger.
  struct Tick {
    WatchdogObservation o = endedRun();
    WatchdogLedger l = ledgerOfBoot();
    WatchdogObservation& alive(double stalled = 99) {
      o.recordProcessAlive = true;
      o.uptime += Seconds(stalled);
      return o;
    }
  };
  using Row = std::tuple<const char*, std::function<void(Tick&)>, Decision>;
  const auto executable = [](std::string path) {
    return [path](Tick& t) { t.o.record->executablePath = path; };
  };
  // Without the guard of each row the ended run would be relaunched, the live one killed.
  // clang-format off
  const std::vector<Row> rows = {
      {"launch under way", [](auto& t) { t.o.launchUnderWay = true; }, kNone},
      {"alive, shutting down", [](auto& t) { t.alive().shuttingDown = true; }, kNone},
      {"no record", [](auto& t) { t.o.record.reset(); }, kNone},
      {"record of another boot", [](auto& t) { t.o.record->bootSession = "boot-0"; }, kNone},
      {"sibling bundle", executable(kBundle + "x/Contents/MacOS/Veldane"), kNone},
      {"out of the bundle", executable(kBundle + "/../V.app/Contents/MacOS/Veldane"), kNone},
      {"the bundle folder itself", executable(kBundle + "/"), kNone},
      {"in and out again", executable(kBundle + "/../Veldane.app2/Contents/MacOS/V"), kNone},
      {"unnormalised path", executable("/Applications//Veldane.app/./Contents/MacOS/V"), kRelaunch},
      {"alive, 45 s", [](auto& t) { t.alive(45); }, kNone},
      {"alive, 45.5 s", [](auto& t) { t.alive(45.5); }, kKill},
      {"alive, 6.5 s", [](auto& t) { t.alive(6.5); }, kNone},
      {"alive, NaN s", [](auto& t) { t.alive(NAN); }, kNone},
      {"curtain up, 6 s", [](auto& t) { t.alive(6).record->curtainUp = true; }, kNone},
      {"curtain up, 6.5 s", [](auto& t) { t.alive(6.5).record->curtainUp = true; }, kKill},
      {"alive, clean exit", [](auto& t) { t.alive().record->cleanExit = true; }, kNone},
      {"alive, traced", [](auto& t) { t.alive().recordProcessTraced = true; }, kNone},
      {"alive, cover up", [](auto& t) { t.alive().record->awayCoverUp = true; }, kNone},
      {"alive, cover down", [](auto& t) { t.alive().record->awayCoverUp = false; }, kKill},
      {"alive, kill issued", [](auto& t) { t.alive().hangKillIssued = true; }, kNone},
      {"alive, no room for a beat", [](auto& t) { t.alive().heartbeatCannotBeWritten = true; },
       kNone},
      {"ended, other instance", [](auto& t) { t.o.otherInstanceRunning = true; }, kNone},
      {"ended, clean exit", [](auto& t) { t.o.record->cleanExit = true; }, kNone},
      {"ended, already handled", [](auto& t) { t.l.handledLaunchID = "run-1"; }, kNone},
      {"ended, note of another run", [](auto& t) { t.o.hangNoteLaunchID = "run-0"; }, kRelaunch},
      {"ended, note of this run", [](auto& t) { t.o.hangNoteLaunchID = "run-1"; }, kHangRelaunch},
      {"ended, kill issued", [](auto& t) { t.o.hangKillIssued = true; }, kHangRelaunch},
      {"ended, kill issued, stopped",
       [](auto& t) { t.o.hangKillIssued = true; t.l.stoppedAt = kNow; },
       Decision::endedWhileStopped(Kind::hang)},
  };
  // clang-format on
  for (const auto& [situation, arrange, expected] : rows) {
    SCOPED_TRACE(situation);
    Tick tick;
    tick.l.handledLaunchID = "run-0";
    arrange(tick);
    const WatchdogLedger before = tick.l;
    EXPECT_EQ(decide(tick.o, tick.l), expected);
    // Only a judged run leaves its mark; an earlier run's survives every other tick.
    EXPECT_TRUE(expected == kNone || expected == kKill ? tick.l == before
                                                       : tick.l.handledLaunchID == "run-1");
  }
}

TEST(WatchdogPolicy, ExitSeenWhileShuttingDownIsMarkedJudgedButNeitherCountedNorRelaunched) {
  WatchdogObservation observation = endedRun();
  observation.shuttingDown = true;
  observation.launchUnderWay = true;
  WatchdogLedger ledger = ledgerOfBoot();
  WatchdogLedger judged = ledger;
  judged.handledLaunchID = "run-1";
  EXPECT_EQ(decide(observation, ledger), kNone);
  EXPECT_TRUE(ledger == judged);
  // Once the session goes on, the run is not judged again.
  observation.shuttingDown = observation.launchUnderWay = false;
  EXPECT_EQ(decide(observation, ledger), kNone);
  EXPECT_TRUE(ledger == judged);
  // A clean quit, or a run that may live on in another instance, leaves no mark.
  for (const auto& arrange : std::vector<std::function<void(WatchdogObservation&)>>{
           [](auto& o) { o.record->cleanExit = true; },
           [](auto& o) { o.otherInstanceRunning = true; }}) {
    WatchdogObservation other = endedRun("run-2");
    other.shuttingDown = true;
    arrange(other);
    EXPECT_EQ(decide(other, ledger), kNone);
    EXPECT_TRUE(ledger == judged);
  }
}

TEST(WatchdogPolicy, StopsAtLimitOfRecentExits) {
  const auto at = [](int offset) { return kNow + seconds(offset); };
  WatchdogLedger ledger;
  const auto exitsAt = [&](std::vector<int> offsets) {
    ledger = ledgerOfBoot();
    std::vector<Decision> decisions;
    for (int t : offsets) {
      decisions.push_back(decide(endedRun("run-" + std::to_string(t), at(t)), ledger));
    }
    return decisions;
  };
  EXPECT_EQ(exitsAt({0, 100, 250, 1000}),
            (std::vector{kRelaunch, kRelaunch, Decision::stopAfterRepeatedCrashes(Kind::crash),
                         Decision::endedWhileStopped(Kind::crash)}));
  // clang-format off
  const WatchdogLedger stopped{.bootSession = "boot-1",
      .unexpectedExits = {at(0), at(100), at(250)}, .handledLaunchID = "run-1000",
      .relaunches = 3, .lastRelaunchAt = at(250), .lastExit = Kind::crash,
      .lastExitAt = at(1000), .stoppedAt = at(250), .safeModeLaunchedAt = at(250),
      .stoppedUptime = 1000};
  // clang-format on
  EXPECT_TRUE(ledger == stopped);
  // The first exit leaves the window exactly at 300 s.
  EXPECT_EQ(exitsAt({0, 100, 300}), (std::vector{kRelaunch, kRelaunch, kRelaunch}));
  EXPECT_EQ(ledger.unexpectedExits, (std::vector{at(100), at(300)}));
  // Exits after now drop out, as does the earliest date, further back than the
  // clock's count can span; the relaunch count saturates.
  ledger.unexpectedExits = {at(60), WatchdogDate::min(), at(-300), at(-10)};
  ledger.relaunches = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(decide(endedRun(), ledger), kRelaunch);
  EXPECT_EQ(ledger.unexpectedExits, (std::vector{at(-10), at(0)}));
  EXPECT_EQ(ledger.relaunches, std::numeric_limits<int64_t>::max());
}

TEST(WatchdogPolicy, KeepsLedgerPerBootSession) {
  // A ledger file without a boot session is replaced even while a launch is under way.
  WatchdogLedger ledger;
  ledger.relaunches = 5;
  WatchdogObservation observation = endedRun();
  observation.launchUnderWay = true;
  EXPECT_EQ(decide(observation, ledger), kNone);
  EXPECT_TRUE(ledger == ledgerOfBoot());
  // After a restart a stopped ledger starts afresh; the old boot's record draws nothing.
  ledger.stoppedAt = ledger.lastExitAt = kNow;
  ledger.handledLaunchID = "run-0";
  observation = endedRun();
  observation.bootSession = "boot-2";
  EXPECT_EQ(decide(observation, ledger), kNone);
  EXPECT_TRUE(ledger == ledgerOfBoot("boot-2"));
}

TEST(WatchdogPolicy, LiftsStopOnlyForResetStrictlyLater) {
  // In memory the stop keeps its fraction; the host's reset is whole seconds.
  const WatchdogDate stop = kNow - milliseconds(59500);
  for (const auto& [resetAt, lifts] : {std::pair<WatchdogDate, bool>{floor<seconds>(stop), false},
                                       {stop, false},
                                       {stop + milliseconds(1), true}}) {
    WatchdogLedger ledger = ledgerOfBoot(), lifted = ledger;
    lifted.lastExitAt = ledger.stoppedAt = ledger.safeModeLaunchedAt = ledger.lastExitAt = stop;
    ledger.unexpectedExits = {stop};
    const WatchdogLedger stopped = ledger;
    WatchdogObservation observation = endedRun();
    observation.recordProcessAlive = true;
    observation.record->crashLoopResetAt = resetAt;
    EXPECT_EQ(decide(observation, ledger), kNone);
    EXPECT_TRUE(ledger == (lifts ? lifted : stopped)) << "lifts " << lifts;
  }
}

TEST(WatchdogPolicy, LiftsStopForResetAfterItWhateverTheWallClockDid) {
  // Stopped by a clock two hours ahead, since set right; the host resets later.
  const WatchdogDate ahead = kNow + std::chrono::hours(2);
  const auto stoppedLedger = [&] {
    WatchdogLedger ledger = ledgerOfBoot();
    ledger.stoppedAt = ledger.safeModeLaunchedAt = ahead;
    ledger.unexpectedExits = {ahead};
    return ledger;
  };
  WatchdogObservation observation = endedRun();
  observation.recordProcessAlive = true;
  observation.uptime = Seconds(1000);
  observation.record->crashLoopResetAt = kNow - seconds(10);

  // On one boot's uptime clock the reset came after the stop.
  WatchdogLedger ledger = stoppedLedger();
  ledger.stoppedUptime = 900;
  observation.record->crashLoopResetUptime = 990;
  decide(observation, ledger);
  EXPECT_FALSE(ledger.stoppedAt);
  ledger = stoppedLedger();
  ledger.stoppedUptime = 995;
  decide(observation, ledger);
  EXPECT_TRUE(ledger.stoppedAt);

  // Without uptimes, a stop dated in the future counts as now, so that a
  // reset written after that tick lifts it.
  observation.record->crashLoopResetUptime.reset();
  ledger = stoppedLedger();
  decide(observation, ledger);
  EXPECT_EQ(ledger.stoppedAt, kNow);
  observation.now = kNow + seconds(3);
  observation.record->crashLoopResetAt = kNow + seconds(2);
  decide(observation, ledger);
  EXPECT_FALSE(ledger.stoppedAt);
}

TEST(WatchdogPolicy, ComparesTextsUnderCanonicalEquivalence) {
  // An e with acute, precomposed or followed by a combining acute.
  const std::string composed = "caf\xC3\xA9", decomposed = "cafe\xCC\x81";
  WatchdogObservation observation = endedRun("run-" + composed);
  observation.bootSession = "boot-" + composed;
  observation.record->bootSession = "boot-" + decomposed;
  observation.ownedBundlePath = "/Applications/" + composed + ".app";
  observation.record->executablePath = "/Applications/" + decomposed + ".app/Contents/MacOS/V";
  observation.hangNoteLaunchID = "run-" + decomposed;
  WatchdogLedger ledger = ledgerOfBoot("boot-" + decomposed);
  EXPECT_EQ(decide(observation, ledger), kHangRelaunch);
  EXPECT_EQ(ledger.bootSession, "boot-" + decomposed);  // not replaced by a fresh ledger
  observation.record->launchID = "run-" + decomposed;
  EXPECT_EQ(decide(observation, ledger), kNone);
}

}  // namespace
}  // namespace veldane
