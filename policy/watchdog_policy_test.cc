#include "policy/watchdog_policy.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace veldane {

void PrintTo(const WatchdogDecision& decision, std::ostream* os) {
  static constexpr const char* kNames[] = {"kill", "relaunch", "stop", "endedWhileStopped", "none"};
  *os << kNames[decision.value.index()];
  std::visit(
      [os](const auto& d) {
        if constexpr (requires { d.pid; }) *os << "(" << d.pid << ")";
        if constexpr (requires { d.kind; }) *os << "(" << rawValue(d.kind) << ")";
      },
      decision.value);
}

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Decision = WatchdogDecision;
using Kind = WatchdogExitKind;

const WatchdogDate kNow = std::chrono::sys_days{std::chrono::year{2025} / 3 / 1};
const std::string kBundle = "/Applications/Veldane.app";
constexpr int32_t kPid = 4242;
const Decision kNone = Decision::none(), kKill = Decision::killHungHost(kPid);
const Decision kRelaunch = Decision::relaunch(Kind::crash);
const Decision kStop = Decision::stopAfterRepeatedCrashes(Kind::crash);
const Decision kEndedStopped = Decision::endedWhileStopped(Kind::crash);

// A run of this boot, owned by kBundle, that ended without a clean exit.
WatchdogObservation endedRun(std::string launchID = "run-1", WatchdogDate now = kNow) {
  WatchdogObservation observation;
  observation.record = HostRunRecord();
  observation.record->pid = kPid;
  observation.record->launchID = std::move(launchID);
  observation.record->bootSession = observation.bootSession = "boot-1";
  observation.record->executablePath = kBundle + "/Contents/MacOS/Veldane";
  observation.record->heartbeatUptime = observation.uptime = 1000;
  observation.ownedBundlePath = kBundle;
  observation.now = now;
  return observation;
}

// The same run alive, its heartbeat `stalled` seconds old.
WatchdogObservation liveRun(double stalled) {
  WatchdogObservation observation = endedRun();
  observation.recordProcessAlive = true;
  observation.uptime += stalled;
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
  struct Row {
    const char* situation;
    std::function<void(WatchdogObservation&, WatchdogLedger&)> arrange;
    Decision expected;
  };
  const auto executable = [](std::string path) {
    return [path](WatchdogObservation& o, WatchdogLedger&) { o.record->executablePath = path; };
  };
  // Without the guard of each row the ended run would be relaunched, the live one killed.
  // clang-format off
  const std::vector<Row> rows = {
      {"shutting down", [](auto& o, auto&) { o.shuttingDown = true; }, kNone},
      {"no record", [](auto& o, auto&) { o.record.reset(); }, kNone},
      {"record of another boot", [](auto& o, auto&) { o.record->bootSession = "boot-0"; }, kNone},
      {"another bundle", [](auto& o, auto&) { o.ownedBundlePath = "/Applications/V.app"; }, kNone},
      {"sibling bundle", executable(kBundle + "x/Contents/MacOS/Veldane"), kNone},
      {"the bundle itself", executable(kBundle + "/"), kNone},
      {"out of the bundle", executable(kBundle + "/../V.app/Contents/MacOS/Veldane"), kNone},
      {"unnormalised path", executable("/Applications//Veldane.app/./Contents/MacOS/V"), kRelaunch},
      {"alive, clean exit", [](auto& o, auto&) { (o = liveRun(99)).record->cleanExit = true; }, kNone},
      {"alive, traced", [](auto& o, auto&) { (o = liveRun(99)).recordProcessTraced = true; }, kNone},
      {"alive, cover up", [](auto& o, auto&) { (o = liveRun(99)).record->awayCoverUp = true; }, kNone},
      {"alive, beyond limit", [](auto& o, auto&) { o = liveRun(99); }, kKill},
      {"ended, other instance", [](auto& o, auto&) { o.otherInstanceRunning = true; }, kNone},
      {"ended, clean exit", [](auto& o, auto&) { o.record->cleanExit = true; }, kNone},
      {"ended, already handled", [](auto&, auto& l) { l.handledLaunchID = "run-1"; }, kNone},
      {"ended, stopped", [](auto&, auto& l) { l.stoppedAt = kNow - seconds(9); }, kEndedStopped},
      {"ended, below limit", [](auto&, auto& l) { l.unexpectedExits = {kNow - seconds(9)}; }, kRelaunch},
      {"ended, note of another run", [](auto& o, auto&) { o.hangNoteLaunchID = "run-0"; }, kRelaunch},
      {"ended, note of this run", [](auto& o, auto&) { o.hangNoteLaunchID = "run-1"; },
       Decision::relaunch(Kind::hang)},
      {"ended, at limit", [](auto&, auto& l) { l.unexpectedExits = {kNow, kNow - seconds(9)}; }, kStop},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    WatchdogObservation observation = endedRun();
    WatchdogLedger ledger = ledgerOfBoot();
    ledger.handledLaunchID = "run-0";
    row.arrange(observation, ledger);
    const WatchdogLedger before = ledger;
    EXPECT_EQ(decide(observation, ledger), row.expected);
    // Only a judged run leaves its mark; an earlier run's survives every other tick.
    if (row.expected == kNone || row.expected == kKill) {
      EXPECT_TRUE(ledger == before);
    } else {
      EXPECT_EQ(ledger.handledLaunchID, "run-1");
    }
  }
}

TEST(WatchdogPolicy, StopsAtLimitOfExitsWithinWindow) {
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
            (std::vector{kRelaunch, kRelaunch, kStop, kEndedStopped}));
  // clang-format off
  const WatchdogLedger stopped{.bootSession = "boot-1", .unexpectedExits = {at(0), at(100), at(250)},
      .handledLaunchID = "run-1000", .relaunches = 3, .lastRelaunchAt = at(250),
      .lastExit = Kind::crash, .lastExitAt = at(1000), .stoppedAt = at(250),
      .safeModeLaunchedAt = at(250)};
  // clang-format on
  EXPECT_TRUE(ledger == stopped);
  // The first exit leaves the window exactly at 300 s.
  EXPECT_EQ(exitsAt({0, 100, 300}), (std::vector{kRelaunch, kRelaunch, kRelaunch}));
  EXPECT_EQ(ledger.unexpectedExits, (std::vector{at(100), at(300)}));
}

TEST(WatchdogPolicy, KeepsLedgerPerBootSession) {
  // A ledger file without a boot session is replaced even while shutting down.
  WatchdogLedger ledger;
  ledger.relaunches = 5;
  WatchdogObservation observation = endedRun();
  observation.shuttingDown = true;
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

TEST(WatchdogPolicy, KillsOnlyBeyondHangLimit) {
  struct Case {
    double stalled;
    bool curtainUp;
    std::optional<bool> awayCoverUp;
    Decision expected;
  };
  const std::vector<Case> cases = {
      {45, false, {}, kNone},     {45.5, false, {}, kKill}, {6.5, false, {}, kNone},
      {6, true, {}, kNone},       {6.5, true, {}, kKill},   {NAN, false, {}, kNone},
      {100, false, false, kKill},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stalled " << c.stalled << " curtain " << c.curtainUp);
    WatchdogObservation observation = liveRun(c.stalled);
    observation.record->curtainUp = c.curtainUp;
    observation.record->awayCoverUp = c.awayCoverUp;
    WatchdogLedger ledger = ledgerOfBoot();
    EXPECT_EQ(decide(observation, ledger), c.expected);
  }
}

TEST(WatchdogPolicy, KilledRunIsWaitedForThenJudgedAsHang) {
  for (bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "watching");
    WatchdogLedger ledger = ledgerOfBoot();
    if (stopped) ledger.stoppedAt = kNow - seconds(60);
    WatchdogObservation observation = liveRun(100);
    observation.hangKillIssued = true;
    EXPECT_EQ(decide(observation, ledger), kNone);
    observation.recordProcessAlive = false;
    EXPECT_EQ(decide(observation, ledger),
              stopped ? Decision::endedWhileStopped(Kind::hang) : Decision::relaunch(Kind::hang));
    EXPECT_EQ(ledger.lastExit, Kind::hang);
  }
}

TEST(WatchdogPolicy, LiftsStopOnlyForResetStrictlyLater) {
  // In memory the stop keeps its fraction; the host's reset is whole seconds.
  const WatchdogDate stoppedAt = kNow - milliseconds(59500);
  for (const auto& [resetAt, lifts] :
       std::vector<std::pair<WatchdogDate, bool>>{{std::chrono::floor<seconds>(stoppedAt), false},
                                                  {stoppedAt, false},
                                                  {stoppedAt + milliseconds(1), true}}) {
    WatchdogLedger ledger = ledgerOfBoot();
    ledger.stoppedAt = ledger.safeModeLaunchedAt = ledger.lastExitAt = stoppedAt;
    ledger.unexpectedExits = {stoppedAt};
    ledger.relaunches = 3;
    WatchdogLedger expected = ledger;
    if (lifts) {
      expected.stoppedAt = expected.safeModeLaunchedAt = std::nullopt;
      expected.unexpectedExits.clear();
    }
    WatchdogObservation observation = liveRun(0);
    observation.record->crashLoopResetAt = resetAt;
    EXPECT_EQ(decide(observation, ledger), kNone);
    EXPECT_TRUE(ledger == expected) << "lifts " << lifts;
  }
}

TEST(WatchdogPolicy, DropsExitsDatedAfterNowOrLongAgo) {
  WatchdogLedger ledger = ledgerOfBoot();
  // The earliest representable date lies further back than the clock's count can span.
  ledger.unexpectedExits = {kNow + seconds(60), WatchdogDate::min(), kNow - seconds(300),
                            kNow - seconds(10)};
  ledger.relaunches = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(decide(endedRun(), ledger), kRelaunch);
  EXPECT_EQ(ledger.unexpectedExits, (std::vector{kNow - seconds(10), kNow}));
  EXPECT_EQ(ledger.relaunches, std::numeric_limits<int64_t>::max());
}

TEST(WatchdogPolicy, ComparesTextsUnderCanonicalEquivalence) {
  const std::string composed = "caf\xC3\xA9";     // precomposed e with acute
  const std::string decomposed = "cafe\xCC\x81";  // e, combining acute
  WatchdogObservation observation = endedRun("run-" + composed);
  observation.bootSession = "boot-" + composed;
  observation.record->bootSession = "boot-" + decomposed;
  observation.ownedBundlePath = "/Applications/" + composed + ".app";
  observation.record->executablePath = "/Applications/" + decomposed + ".app/Contents/MacOS/V";
  observation.hangNoteLaunchID = "run-" + decomposed;
  WatchdogLedger ledger = ledgerOfBoot("boot-" + decomposed);
  ledger.relaunches = 7;
  EXPECT_EQ(decide(observation, ledger), Decision::relaunch(Kind::hang));
  EXPECT_EQ(ledger.relaunches, 8);  // not replaced by a fresh ledger
  observation.record->launchID = "run-" + decomposed;
  EXPECT_EQ(decide(observation, ledger), kNone);
  EXPECT_EQ(ledger.relaunches, 8);
}

}  // namespace
}  // namespace veldane
