#include "policy/watchdog_policy.h"

#include <chrono>
#include <cmath>
#include <cstdint>
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
  static constexpr const char* kNames[] = {"killHungHost", "relaunch", "stopAfterRepeatedCrashes",
                                           "endedWhileStopped", "none"};
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

// A run of the current boot, owned by kBundle, that ended without a clean exit.
WatchdogObservation endedRun(std::string launchID = "run-1", WatchdogDate now = kNow) {
  HostRunRecord record;
  record.pid = kPid;
  record.launchID = std::move(launchID);
  record.bootSession = "boot-1";
  record.executablePath = kBundle + "/Contents/MacOS/Veldane";
  record.heartbeatUptime = 1000;
  WatchdogObservation observation;
  observation.record = record;
  observation.ownedBundlePath = kBundle;
  observation.bootSession = "boot-1";
  observation.now = now;
  observation.uptime = 1000;
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

TEST(WatchdogPolicy, FollowsDecisionTable) {
  using Change = std::function<void(WatchdogLedger&)>;
  struct Row {
    const char* situation;
    std::function<void(WatchdogObservation&, WatchdogLedger&)> arrange;
    Decision expected;
    Change change = [](WatchdogLedger&) {};
  };
  const auto alive = [](WatchdogObservation& o) -> WatchdogObservation& {
    return o = liveRun(100);
  };
  const Change handled = [](WatchdogLedger& l) {
    l.handledLaunchID = "run-1";
    l.lastExit = Kind::crash;
    l.lastExitAt = kNow;
  };
  const Change counted = [&](WatchdogLedger& l) {
    handled(l);
    l.unexpectedExits.push_back(kNow);
    l.lastRelaunchAt = kNow;
    ++l.relaunches;
  };
  const Change countedHang = [&](WatchdogLedger& l) {
    counted(l);
    l.lastExit = Kind::hang;
  };
  const Change stopped = [&](WatchdogLedger& l) {
    counted(l);
    l.stoppedAt = l.safeModeLaunchedAt = kNow;
  };
  const Decision none = Decision::none();
  // Without the guard of each row the ended run would be relaunched, the live one killed.
  // The ledger has handled an earlier run, whose mark must survive every "none".
  const std::vector<Row> rows = {
      {"shutting down", [](auto& o, auto&) { o.shuttingDown = true; }, none},
      {"no record", [](auto& o, auto&) { o.record.reset(); }, none},
      {"record of another boot", [](auto& o, auto&) { o.record->bootSession = "boot-0"; }, none},
      {"another bundle", [](auto& o, auto&) { o.ownedBundlePath = "/Applications/Other.app"; },
       none},
      {"alive, clean exit", [&](auto& o, auto&) { alive(o).record->cleanExit = true; }, none},
      {"alive, traced", [&](auto& o, auto&) { alive(o).recordProcessTraced = true; }, none},
      {"alive, already killed", [&](auto& o, auto&) { alive(o).hangKillIssued = true; }, none},
      {"alive, away cover up", [&](auto& o, auto&) { alive(o).record->awayCoverUp = true; }, none},
      {"alive, within limit", [](auto& o, auto&) { o = liveRun(44); }, none},
      {"alive, beyond limit", [&](auto& o, auto&) { alive(o); }, Decision::killHungHost(kPid)},
      {"ended, other instance", [](auto& o, auto&) { o.otherInstanceRunning = true; }, none},
      {"ended, clean exit", [](auto& o, auto&) { o.record->cleanExit = true; }, none},
      {"ended, already handled", [](auto&, auto& l) { l.handledLaunchID = "run-1"; }, none},
      {"ended, stopped", [](auto&, auto& l) { l.stoppedAt = kNow - seconds(9); },
       Decision::endedWhileStopped(Kind::crash), handled},
      {"ended, below limit", [](auto&, auto& l) { l.unexpectedExits = {kNow - seconds(10)}; },
       Decision::relaunch(Kind::crash), counted},
      {"ended, note of another run", [](auto& o, auto&) { o.hangNoteLaunchID = "run-0"; },
       Decision::relaunch(Kind::crash), counted},
      {"ended, note of this run", [](auto& o, auto&) { o.hangNoteLaunchID = "run-1"; },
       Decision::relaunch(Kind::hang), countedHang},
      {"ended, at limit",
       [](auto&, auto& l) {
         l.unexpectedExits = {kNow, kNow - seconds(9)};
       },
       Decision::stopAfterRepeatedCrashes(Kind::crash), stopped},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    WatchdogObservation observation = endedRun();
    WatchdogLedger ledger = ledgerOfBoot();
    ledger.handledLaunchID = "run-0";
    row.arrange(observation, ledger);
    WatchdogLedger expected = ledger;
    row.change(expected);
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), row.expected);
    EXPECT_TRUE(ledger == expected);
  }
}

TEST(WatchdogPolicy, StopsAtLimitOfExitsWithinWindow) {
  const Decision relaunch = Decision::relaunch(Kind::crash);
  struct Case {
    std::vector<int> offsets;
    std::vector<Decision> expected;
    size_t recentAtEnd;
  };
  const std::vector<Case> cases = {
      {{0, 100, 250, 1000},
       {relaunch, relaunch, Decision::stopAfterRepeatedCrashes(Kind::crash),
        Decision::endedWhileStopped(Kind::crash)},
       3},
      // The first exit leaves the window exactly at 300 s.
      {{0, 100, 300}, {relaunch, relaunch, relaunch}, 2},
  };
  for (const Case& c : cases) {
    WatchdogLedger ledger = ledgerOfBoot();
    std::vector<Decision> decisions;
    for (size_t i = 0; i < c.offsets.size(); ++i) {
      const WatchdogObservation observation =
          endedRun("run-" + std::to_string(i), kNow + seconds(c.offsets[i]));
      decisions.push_back(WatchdogPolicy{}.decide(observation, ledger));
    }
    EXPECT_EQ(decisions, c.expected);
    EXPECT_EQ(ledger.unexpectedExits.size(), c.recentAtEnd);
    EXPECT_EQ(ledger.relaunches, 3);
  }
}

TEST(WatchdogPolicy, KeepsLedgerPerBootSession) {
  // A ledger file without a boot session is replaced even while shutting down.
  WatchdogLedger ledger;
  ledger.relaunches = 5;
  WatchdogObservation observation = endedRun();
  observation.shuttingDown = true;
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
  EXPECT_TRUE(ledger == ledgerOfBoot());

  // After a restart a stopped ledger starts afresh; the old boot's record draws nothing.
  ledger.stoppedAt = ledger.lastExitAt = kNow;
  ledger.handledLaunchID = "run-0";
  observation = endedRun();
  observation.bootSession = "boot-2";
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
  EXPECT_TRUE(ledger == ledgerOfBoot("boot-2"));
}

TEST(WatchdogPolicy, KillsOnlyBeyondHangLimit) {
  const Decision kill = Decision::killHungHost(kPid);
  const Decision none = Decision::none();
  struct Case {
    double stalled;
    bool curtainUp;
    std::optional<bool> awayCoverUp;
    Decision expected;
  };
  const std::vector<Case> cases = {
      {45, false, {}, none},  {45.5, false, {}, kill},   {6.5, false, {}, none},
      {6, true, {}, none},    {6.5, true, {}, kill},     {-30, true, {}, none},
      {NAN, false, {}, none}, {100, false, false, kill},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stalled " << c.stalled << " curtain " << c.curtainUp);
    WatchdogObservation observation = liveRun(c.stalled);
    observation.record->curtainUp = c.curtainUp;
    observation.record->awayCoverUp = c.awayCoverUp;
    WatchdogLedger ledger = ledgerOfBoot();
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), c.expected);
    EXPECT_TRUE(ledger == ledgerOfBoot());
  }
}

TEST(WatchdogPolicy, KilledRunIsWaitedForThenJudgedAsHang) {
  for (bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "stopped" : "watching");
    WatchdogLedger ledger = ledgerOfBoot();
    if (stopped) ledger.stoppedAt = kNow - seconds(60);
    WatchdogObservation observation = liveRun(100);
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::killHungHost(kPid));
    observation.hangKillIssued = true;
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
    observation.recordProcessAlive = false;
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger),
              stopped ? Decision::endedWhileStopped(Kind::hang) : Decision::relaunch(Kind::hang));
  }
}

TEST(WatchdogPolicy, LiftsStopOnlyForResetStrictlyLater) {
  // In memory the stop keeps its fraction; the host's reset is whole seconds.
  const WatchdogDate stoppedAt = kNow - milliseconds(59500);
  const WatchdogDate stoppedSecond = std::chrono::floor<seconds>(stoppedAt);
  for (const auto& [resetAt, lifts] : std::vector<std::pair<WatchdogDate, bool>>{
           {stoppedSecond, false}, {stoppedAt, false}, {stoppedAt + milliseconds(1), true}}) {
    WatchdogLedger ledger = ledgerOfBoot();
    ledger.stoppedAt = ledger.safeModeLaunchedAt = ledger.lastRelaunchAt = ledger.lastExitAt =
        stoppedAt;
    ledger.unexpectedExits = {stoppedAt - seconds(20), stoppedAt - seconds(10), stoppedAt};
    ledger.handledLaunchID = "run-0";
    ledger.lastExit = Kind::hang;
    ledger.relaunches = 3;
    WatchdogLedger expected = ledger;
    if (lifts) {
      expected.stoppedAt = expected.safeModeLaunchedAt = std::nullopt;
      expected.unexpectedExits.clear();
    }
    WatchdogObservation observation = liveRun(0);
    observation.record->crashLoopResetAt = resetAt;
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
    EXPECT_TRUE(ledger == expected) << "lifts " << lifts;
  }
}

TEST(WatchdogPolicy, JudgesEachEndedRunOnce) {
  WatchdogLedger ledger = ledgerOfBoot();
  WatchdogObservation observation = endedRun();
  observation.otherInstanceRunning = true;
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
  observation.otherInstanceRunning = false;
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::relaunch(Kind::crash));
  const WatchdogLedger judged = ledger;
  for (int tick = 1; tick <= 3; ++tick) {
    observation.now = kNow + seconds(2 * tick);
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
    EXPECT_TRUE(ledger == judged);
  }
}

TEST(WatchdogPolicy, DropsExitsDatedAfterNowOrLongAgo) {
  WatchdogLedger ledger = ledgerOfBoot();
  // The earliest representable date lies further back than the clock's count can span.
  ledger.unexpectedExits = {kNow + seconds(60), WatchdogDate::min(), kNow - seconds(300),
                            kNow - seconds(10)};
  ledger.relaunches = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(WatchdogPolicy{}.decide(endedRun(), ledger), Decision::relaunch(Kind::crash));
  EXPECT_EQ(ledger.unexpectedExits, (std::vector<WatchdogDate>{kNow - seconds(10), kNow}));
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
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::relaunch(Kind::hang));
  EXPECT_EQ(ledger.relaunches, 8);  // not replaced by a fresh ledger

  observation.record->launchID = "run-" + decomposed;
  EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger), Decision::none());
  EXPECT_EQ(ledger.relaunches, 8);
}

TEST(WatchdogPolicy, OwnsOnlyExecutablesInsideBundleFolder) {
  for (const auto& [executable, owns] : std::vector<std::pair<std::string, bool>>{
           {kBundle + "x/Contents/MacOS/Veldane", false},
           {kBundle, false},
           {kBundle + "/", false},
           {kBundle + "/../Other.app/Contents/MacOS/Veldane", false},
           {"/Applications/veldane.app/Contents/MacOS/Veldane", false},
           {"/Applications//Veldane.app/./Contents/MacOS/Veldane", true}}) {
    SCOPED_TRACE(executable);
    WatchdogObservation observation = endedRun();
    observation.record->executablePath = executable;
    WatchdogLedger ledger = ledgerOfBoot();
    EXPECT_EQ(WatchdogPolicy{}.decide(observation, ledger),
              owns ? Decision::relaunch(Kind::crash) : Decision::none());
  }
}

}  // namespace
}  // namespace veldane
