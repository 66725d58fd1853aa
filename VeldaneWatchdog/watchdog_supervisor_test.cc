#include "VeldaneWatchdog/watchdog_supervisor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <utility>

#include "platform/test/fake_platform.h"
#include "state/host_hang_note.h"
#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre, ::testing::IsEmpty;
using Args = std::vector<std::string>;

// Precomposed; the decomposed form names another folder on Linux.
const std::string kBundle = "/Applications/Caf\xC3\xA9.app";
const std::string kHelper = kBundle + "/Contents/MacOS/VeldaneWatchdog";
const std::string kHost = kBundle + "/Contents/MacOS/Host";
const std::string kIdentifier = "com.example.host";
const std::string kWatching = "Watching " + kBundle;
const std::string kRelaunching = "Host ended unexpectedly (crash); relaunching";
const Args kRecovered{"--veldane-recovered"};
const Args kSafeMode{"--veldane-recovered", "--veldane-safe-mode"};

class SupervisorTest : public ::testing::Test, public TestFolder {
 public:
  SupervisorTest() { reset(); }

  void reset() {
    fs::remove_all(files().directory());
    fake_ = std::make_unique<FakePlatform>();
    fake_->applicationSupport = path.string();
    fake_->bundle = {kIdentifier, "Host"};
    fake_->ownIdentity = FileIdentity{7, 1234, 1'700'000'000};
    // A successful opening starts a host, as the real one would.
    fake_->onOpen = [this] { startHost(nextPid_++); };
  }
  // With a host started first as `hostPid`, unless 0.
  std::shared_ptr<WatchdogSupervisor> start(int32_t hostPid = 0, bool curtainUp = false) {
    if (hostPid) startHost(hostPid, curtainUp);
    auto supervisor = WatchdogSupervisor::create(kHelper, fake_->platform());
    if (supervisor) supervisor->run();
    return supervisor;
  }

  WatchdogFiles files() const {
    const fs::path root = fake_ && fake_->groupContainer
                              ? fs::path(*fake_->groupContainer) / "Library/Application Support"
                              : path;
    return WatchdogFiles::forBundle(root, kIdentifier, kBundle);
  }
  // A record whose last heartbeat was `silentFor` seconds ago.
  void startHost(int32_t pid, bool curtainUp = false, double silentFor = 0) {
    fake_->processes[pid] = kHost;
    HostRunRecord r;
    r.pid = pid;
    r.launchID = "run-" + std::to_string(pid);
    r.bootSession = fake_->bootSession();
    r.executablePath = kHost;
    r.startedAt = r.heartbeatAt = std::chrono::floor<std::chrono::seconds>(fake_->now());
    r.heartbeatUptime = fake_->uptime().count() - silentFor;
    r.curtainUp = curtainUp;
    ASSERT_TRUE(WatchdogStore::write(r, files().hostRecordPath()));
  }
  void crash(int32_t pid) {
    fake_->endProcess(pid);
    fake_->runDue();
  }

  std::unique_ptr<FakePlatform> fake_;
  int32_t nextPid_ = 500;
};

TEST_F(SupervisorTest, ConstructionFailsOutsideAUsableBundle) {
  const std::pair<std::string, std::function<void(FakePlatform&)>> cases[] = {
      {kBundle + "/Contents/Helpers/W", [](FakePlatform&) {}},
      {kHelper, [](FakePlatform& f) { f.bundle.reset(); }},
      {kHelper, [](FakePlatform& f) { f.bundle->identifier = "../../escape"; }},
      {kHelper, [](FakePlatform& f) { f.applicationSupport.reset(); }},
      {kHelper, [](FakePlatform& f) { f.appGroup = "T.com.example.host"; }},  // no container
  };
  for (const auto& [executable, setup] : cases) {
    reset();
    setup(*fake_);
    EXPECT_EQ(WatchdogSupervisor::create(executable, fake_->platform()), nullptr) << executable;
    EXPECT_THAT(fake_->lines, IsEmpty());
  }
  EXPECT_TRUE(fs::is_empty(path));
}

// Where a sandboxed host writes its record: the group's container, not the
// application-support folder.
TEST_F(SupervisorTest, ABundleWithAnAppGroupIsWatchedInTheGroupsContainer) {
  const fs::path container = path / "Group Containers/T.com.example.host";
  fake_->appGroup = "T.com.example.host";
  fake_->groupContainer = container.string();
  fake_->applicationSupport = (path / "elsewhere").string();
  auto supervisor = start(300);
  ASSERT_TRUE(supervisor);
  EXPECT_EQ(supervisor->watchedPID(), 300);
  EXPECT_EQ(files(), WatchdogFiles::forBundle(container / "Library/Application Support",
                                              kIdentifier, kBundle));
  crash(300);
  EXPECT_THAT(fake_->lines, ElementsAre(kWatching, kRelaunching));
  EXPECT_TRUE(fs::exists(files().ledgerPath()));
}

TEST_F(SupervisorTest, LiveHostIsLookedAtEveryThreeSeconds) {
  auto supervisor = start(300);
  EXPECT_EQ(fake_->nextTimer(), std::pair(3.0, 0.75));  // curtain down
}

TEST_F(SupervisorTest, EndedHostIsLookedAtEveryTwoSeconds) {
  auto supervisor = start(300);
  fake_->advance(1.5);
  crash(300);
  EXPECT_EQ(fake_->nextTimer(), std::pair(2.0, 0.5));
}

TEST_F(SupervisorTest, CrashIsJudgedAtOnce) {
  auto supervisor = start(300);
  fake_->advance(1.5);
  crash(300);
  EXPECT_THAT(fake_->lines, ElementsAre(kWatching, kRelaunching));
  EXPECT_TRUE(supervisor->launchUnderWay());
}

TEST_F(SupervisorTest, CrashedHostIsRelaunchedOneSecondLater) {
  auto supervisor = start(300);
  crash(300);
  fake_->advance(0.999);
  EXPECT_THAT(fake_->opened, IsEmpty());
  fake_->advance(0.001);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
}

TEST_F(SupervisorTest, RelaunchedHostIsWatched) {
  auto supervisor = start(300);
  crash(300);
  fake_->advance(3);
  EXPECT_EQ(supervisor->watchedPID(), 500);
}

TEST_F(SupervisorTest, StrangerAtTheWatchedPidEndsTheWatch) {
  auto supervisor = start(300);
  // Its pid taken by another program without the watch firing.
  fake_->processes[300] = "/usr/bin/other";
  fake_->advance(3);
  EXPECT_EQ(supervisor->watchedPID(), 0);
}

TEST_F(SupervisorTest, PowerOffInTheLaunchDelayCallsTheLaunchOff) {
  auto supervisor = start(300);
  crash(300);
  fake_->announcePowerOff();
  fake_->advance(1);
  EXPECT_THAT(fake_->opened, IsEmpty());
  EXPECT_FALSE(supervisor->launchUnderWay());
}

TEST_F(SupervisorTest, TicksGoOnWhilePoweringOff) {
  auto supervisor = start(300);
  fake_->announcePowerOff();
  fake_->advance(1);
  fake_->ownIdentity->inode = 1235;  // a replaced executable, seen by a later tick
  fake_->advance(20);
  EXPECT_EQ(fake_->exitStatus, 0);
}

// A host that beats for 30 s, is silent for 30 s (less than its limit),
// beats again for 10 s, then is silent until 114 s: one tick short of its kill.
class HungHostTest : public SupervisorTest {
 public:
  std::shared_ptr<WatchdogSupervisor> hangUntilJustBeforeTheKill() {
    fake_->cpu[300] = {{300, 1.0}, {301, 2.0}, {302, 2.0}};
    // Spinning by their state alone, with too little CPU since the sample to
    // tell; two such threads are named, a third would only be counted.
    const HostThreadSnapshot spinning{301, "io", "running", std::nullopt, 2.1, std::nullopt, {}, {}};
    const HostThreadSnapshot waiting{300, "Host",       "sleeping", "futex_wait_queue",
                                     3.5, std::nullopt, {},         {}};
    fake_->snapshotReply = HostHangSnapshot{{waiting, spinning, spinning}, "unwound"};
    fake_->snapshotReply->threads[2].tid = 302;
    auto supervisor = start(300);
    for (int t = 0; t < 114; ++t) {
      if (t < 30 || (t >= 60 && t < 70)) startHost(300);
      fake_->advance(1);
    }
    return supervisor;
  }
};

TEST_F(HungHostTest, SilenceShorterThanTheLimitIsNoHang) {
  auto supervisor = hangUntilJustBeforeTheKill();
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
}

TEST_F(HungHostTest, HostSilentForHalfItsLimitIsSampledOncePerSilence) {
  auto supervisor = hangUntilJustBeforeTheKill();
  // At the first tick past half the limit.
  EXPECT_THAT(fake_->samples, ElementsAre(54, 93));
}

TEST_F(HungHostTest, HungHostIsKilledThroughItsWatch) {
  auto supervisor = hangUntilJustBeforeTheKill();
  fake_->advance(3);  // the 3 s tick after 45 s of silence
  EXPECT_THAT(fake_->signalsSent, ElementsAre(std::pair(300, SIGKILL)));
  EXPECT_THAT(fake_->killed, IsEmpty());
}

TEST_F(HungHostTest, SnapshotIsPutIntoShapeOnlyAfterTheSignal) {
  auto supervisor = hangUntilJustBeforeTheKill();
  fake_->advance(3);
  EXPECT_EQ(fake_->gatheredWithSignals, 1u);
}

TEST_F(HungHostTest, DiagnosisIsLoggedAndTheEndedHostRelaunched) {
  auto supervisor = hangUntilJustBeforeTheKill();
  fake_->advance(3);
  fake_->runDue();
  EXPECT_THAT(
      fake_->lines,
      ElementsAre(
          kWatching, "Host heartbeat stopped; ending pid 300 so it can be relaunched",
          "Hung host pid 300: main thread blocked in futex_wait_queue; 2.5 s CPU in "
          "the last 24 s; thread io (301) spinning for 48 s; thread io (302) spinning for 48 s",
          "Host ended unexpectedly (hang); relaunching"));
}

TEST_F(SupervisorTest, HungHostThatNoWatchHoldsIsKilledByPid) {
  fake_->unwatchable.insert(300);
  auto supervisor = start(300, /*curtainUp=*/true);
  fake_->advance(8);
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
  EXPECT_THAT(fake_->killed, ElementsAre(std::pair(300, SIGKILL)));
}

TEST_F(SupervisorTest, HostWithTheCurtainUpIsLookedAtEverySecond) {
  auto supervisor = start(300, /*curtainUp=*/true);
  EXPECT_EQ(fake_->nextTimer(), std::pair(1.0, 0.25));
}

TEST_F(SupervisorTest, SnapshotThatOutrunsItsBudgetDoesNotHoldTheSignalBack) {
  auto supervisor = start(300, /*curtainUp=*/true);
  fake_->snapshotReply.reset();
  fake_->advance(7.499);  // judged at 7 s
  EXPECT_THAT(fake_->samples, ElementsAre(4));
  ASSERT_EQ(fake_->pendingSnapshots.size(), 1u);
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
  fake_->advance(0.001);
  EXPECT_THAT(fake_->signalsSent, ElementsAre(std::pair(300, SIGKILL)));
}

TEST_F(SupervisorTest, ReportOfASnapshotThatOutranItsBudgetSaysSoAndALateOneIsIgnored) {
  auto supervisor = start(300, /*curtainUp=*/true);
  fake_->snapshotReply.reset();
  fake_->onOpen = nullptr;
  fake_->advance(7.5);
  ASSERT_EQ(fake_->pendingSnapshots.size(), 1u);
  fake_->pendingSnapshots[0]({});  // too late: ignored
  EXPECT_EQ(fake_->signalsSent.size(), 1u);
  const auto report = WatchdogStore::read<WatchdogHangReport>(files().hangReportPath());
  EXPECT_EQ(report->snapshotSeconds, 0.5);
  EXPECT_EQ(report->stacks, "the snapshot did not finish within its time");
}

TEST_F(SupervisorTest, HostThatEndsByItselfDuringTheSnapshotIsNotSignalled) {
  auto supervisor = start(301, /*curtainUp=*/true);
  fake_->snapshotReply.reset();
  fake_->onOpen = nullptr;
  fake_->advance(7);
  ASSERT_EQ(fake_->pendingSnapshots.size(), 1u);
  crash(301);
  fake_->pendingSnapshots[0]({});
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
  EXPECT_THAT(fake_->killed, IsEmpty());
  EXPECT_EQ(WatchdogStore::read<WatchdogHangReport>(files().hangReportPath())->pid, 301);
}

TEST_F(SupervisorTest, HangReportThatCannotBeWrittenIsSaidOnce) {
  fs::create_directories(files().hangReportPath());  // a folder in its place
  auto supervisor = start(300, /*curtainUp=*/true);
  fake_->advance(8);
  EXPECT_THAT(fake_->signalsSent, ElementsAre(std::pair(300, SIGKILL)));
  EXPECT_EQ(std::ranges::count(fake_->lines,
                               "Cannot write the hang report to " + files().hangReportPath().string()),
            1);
}

TEST_F(SupervisorTest, OnlyThisUsersHostAtTheRecordedPidIsEverSignalled) {
  // Silent for long: a kill is due at once for a host found alive.
  const std::tuple<const char*, std::function<void(SupervisorTest&)>, bool> cases[] = {
      {"traced", [](auto& t) { t.fake_->traced.insert(300); }, true},
      {"the watchdog itself", [](auto& t) { t.startHost(4242, false, 100); }, true},
      {"another user's copy", [](auto& t) { t.fake_->otherUsers.insert(300); }, false},
      // Such as one of the watchdog's own threads: a signal would end its process.
      {"a thread, not a process", [](auto& t) { t.fake_->threads.insert(300); }, false},
  };
  for (const auto& [name, setup, alive] : cases) {
    SCOPED_TRACE(name);
    reset();
    startHost(300, false, 100);
    setup(*this);
    auto supervisor = start();
    fake_->advance(2);
    EXPECT_THAT(fake_->signalsSent, IsEmpty());
    EXPECT_EQ(fake_->lines.size(), alive ? 1u : 2u);  // judged ended, if not alive
  }
}

const std::string kMovedHost = "/Applications/Caf\xC3\xA9.app.old/Contents/MacOS/Host";

TEST_F(SupervisorTest, HostStillRunningFromABundleMovedAsideByAnUpdateIsWatchedNotRelaunched) {
  // Started before its record's last beat: the process that wrote it.
  fake_->startedAt[300] = 999;
  startHost(300);
  fake_->processes[300] = kMovedHost;
  auto supervisor = start();
  fake_->advance(10);
  EXPECT_THAT(fake_->opened, IsEmpty());
  EXPECT_EQ(supervisor->watchedPID(), 300);
  EXPECT_THAT(fake_->lines, ElementsAre(kWatching));
}

TEST_F(SupervisorTest, ProgramOfAMovedBundleThatStartedAfterTheLastBeatIsNoHost) {
  fake_->startedAt[300] = 999;
  startHost(300);
  fake_->processes[300] = kMovedHost;
  auto supervisor = start();
  fake_->advance(10);
  // A process that took the pid over after the host ended started later.
  fake_->startedAt[300] = fake_->uptime().count();
  fake_->advance(10);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
}

TEST_F(SupervisorTest, OwnFileMissingAtTwoTicksInARowEndsItAsAnUpdateWould) {
  auto supervisor = start(300);
  // Caught in the middle of a replacement: there again at the next tick.
  const std::optional<FileIdentity> own = fake_->ownIdentity;
  fake_->ownIdentity.reset();
  fake_->advance(3);
  fake_->ownIdentity = own;
  fake_->advance(3);
  fake_->ownIdentity.reset();
  fake_->advance(3);
  EXPECT_EQ(fake_->exitStatus, std::nullopt);
  fake_->advance(3);
  EXPECT_EQ(fake_->exitStatus, 0);
  EXPECT_EQ(fake_->lines.back(), "Helper was updated; exiting so launchd starts the new version");
}

TEST_F(SupervisorTest, SilenceOfAHostWithNoRoomForItsRecordIsNoHang) {
  auto supervisor = start(300);
  fake_->diskFull = true;
  fake_->advance(100);
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
}

TEST_F(SupervisorTest, FullFolderOfASilentHostIsSaidOnce) {
  auto supervisor = start(300);
  fake_->diskFull = true;
  fake_->advance(100);
  EXPECT_THAT(fake_->lines,
              ElementsAre(kWatching, "No room to write in " + files().directory().string() +
                                         "; the host's silent heartbeat is not taken for a hang"));
}

TEST_F(SupervisorTest, SilenceCountsOnceTheFolderHasRoomAgain) {
  auto supervisor = start(300);
  fake_->diskFull = true;
  fake_->advance(100);
  fake_->diskFull = false;
  fake_->advance(3);
  EXPECT_THAT(fake_->signalsSent, ElementsAre(std::pair(300, SIGKILL)));
}

// Four crashes of the host and its relaunches, each judged by the tick after
// a failed one.
class CrashLoopTest : public SupervisorTest {
 public:
  std::shared_ptr<WatchdogSupervisor> crashFourTimes() {
    fake_->ownIdentity.reset();  // its own file unreadable: never taken for a replaced one
    auto supervisor = start(300);
    for (int i = 0; i < 4; ++i) {
      fake_->advance(10);
      // A hang note names the second run: its end counts as a hang.
      const HostHangNote note{"run-500", std::chrono::floor<std::chrono::seconds>(fake_->now()), 1};
      EXPECT_TRUE(WatchdogStore::write(note, files().hangNotePath()));
      fake_->nowThrowsTimes = 1;  // the exit watch's tick fails; the next one judges
      crash(supervisor->watchedPID());
      fake_->advance(3);
    }
    return supervisor;
  }
};

TEST_F(CrashLoopTest, ThirdCrashLaunchesSafeModeOnce) {
  auto supervisor = crashFourTimes();
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered, kSafeMode));
}

TEST_F(CrashLoopTest, EachEndIsSaidWithItsKindAndTheStop) {
  auto supervisor = crashFourTimes();
  EXPECT_THAT(
      fake_->lines,
      ElementsAre(kWatching, kRelaunching, "Host ended unexpectedly (hang); relaunching",
                  "Host ended unexpectedly (crash) again; stopping after repeated crashes",
                  "Host ended (crash) while stopped after repeated crashes; not relaunching"));
}

TEST_F(CrashLoopTest, NothingIsLaunchedOnceStopped) {
  auto supervisor = crashFourTimes();
  fake_->advance(600);
  EXPECT_EQ(fake_->opened.size(), 3u);
}

TEST_F(SupervisorTest, NoTimerForTheNextTickEndsTheWatchdog) {
  auto supervisor = start(300);
  fake_->timersFail = true;
  fake_->advance(3);
  EXPECT_EQ(fake_->exitStatus, 1);
  EXPECT_EQ(fake_->lines.back(), "Cannot arm the next tick; exiting");
}

TEST_F(SupervisorTest, FailedOpeningsAreRetriedTwiceThenGivenUp) {
  fake_->failingOpenings = 3;
  auto supervisor = start(300);
  crash(300);
  fake_->advance(20);
  EXPECT_THAT(fake_->openedAt, ElementsAre(1.0, 7.0, 13.0));
  EXPECT_FALSE(supervisor->launchUnderWay());
  EXPECT_EQ(std::ranges::count(fake_->lines, "Relaunch failed: no such file"), 3);
}

// A failed allocation in a step, say: the launch ends, and the relaunch still
// pending in the ledger is started again by a later tick.
TEST_F(SupervisorTest, ALaunchStepThatThrowsIsStartedAgainByALaterTick) {
  auto supervisor = start(300);
  bool thrown = false;
  fake_->onOpen = [this, &thrown] {
    if (!std::exchange(thrown, true)) throw std::bad_alloc();
    startHost(nextPid_++);
  };
  crash(300);
  fake_->advance(1);
  ASSERT_TRUE(thrown);
  EXPECT_FALSE(supervisor->launchUnderWay());
  fake_->advance(3);
  EXPECT_THAT(fake_->openedAt, ElementsAre(1.0, 3.0));
  EXPECT_EQ(std::ranges::count(
                fake_->lines, "Relaunching the host: a relaunch decided earlier was not carried out"),
            1);
  EXPECT_EQ(supervisor->watchedPID(), 500);
}

TEST_F(SupervisorTest, CrashDuringALaunchIsJudgedOnceTheLaunchIsGivenUp) {
  fake_->failingOpenings = 3;
  auto supervisor = start(300);
  crash(300);
  fake_->advance(3);  // the first opening failed; a retry is due at 6 s
  // A host started by hand meanwhile crashes too.
  startHost(301);
  fake_->advance(1.5);
  ASSERT_EQ(supervisor->watchedPID(), 301);
  crash(301);  // ticks now fall half-way between the launch's steps
  fake_->advance(16);
  EXPECT_THAT(fake_->openedAt, ElementsAre(1.0, 7.0, 13.0, 19.5));
}

TEST_F(SupervisorTest, RelaunchDecidedBeforeARestartIsCarriedOutOnceByTheNextWatchdog) {
  const struct {
    const char* name;
    int crashes;       // the last one is judged just before the restart
    double stopAfter;  // seconds after that judgement
    std::function<void(SupervisorTest&)> meanwhile;
    std::vector<Args> launched;  // after the restart
  } cases[] = {
      {"in the launch delay", 1, 0.5, [](auto&) {}, {kRecovered}},
      {"safe mode", 3, 0.5, [](auto&) {}, {kSafeMode}},
      {"host runs again", 1, 0.5, [](auto& t) { t.startHost(400); }, {}},
      // The relaunched host died before writing its record: not launched again.
      {"opened already", 1, 1.5, [](auto&) {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    fake_->onOpen = nullptr;
    auto supervisor = start(300);
    for (int i = 1; i <= c.crashes; ++i) {
      if (i > 1) startHost(300 + i);
      fake_->advance(3);
      crash(supervisor->watchedPID());
      if (i < c.crashes) fake_->advance(1);
    }
    c.meanwhile(*this);
    fake_->advance(c.stopAfter);
    supervisor.reset();
    fake_->opened.clear();

    supervisor = start();
    fake_->advance(30);
    EXPECT_EQ(fake_->opened, c.launched);
    EXPECT_EQ(supervisor->ledger().relaunches, c.crashes);
    EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(files().ledgerPath())->pendingRelaunch,
              std::nullopt);
  }
}

using Kind = MainLoop::SessionEndNotice::Kind;

struct SessionEndCase {
  const char* name;
  bool announcesCancel;
  MainLoop::SessionEndNotice::Kind end;
};
const SessionEndCase kSessionEnds[] = {
    {"macOS, logout or power-off", false, Kind::powerOff},
    {"Linux, power-off", true, Kind::powerOff},
    {"Linux, logout", true, Kind::logout},
};

TEST_F(SupervisorTest, HostEndedWithTheSessionIsMarkedJudgedButNotRelaunched) {
  for (const SessionEndCase& c : kSessionEnds) {
    SCOPED_TRACE(c.name);
    reset();
    fake_->announcesCancel = c.announcesCancel;
    auto supervisor = start(300);
    fake_->advance(1);
    fake_->announce(c.end);
    fake_->runDue();
    crash(300);
    fake_->advance(5);
    EXPECT_THAT(fake_->opened, IsEmpty());
    const auto written = WatchdogStore::read<WatchdogLedger>(files().ledgerPath());
    ASSERT_TRUE(written);
    EXPECT_EQ(written->handledLaunchID, "run-300");
    EXPECT_EQ(written->relaunches, 0);
    EXPECT_THAT(written->unexpectedExits, IsEmpty());
  }
}

TEST_F(SupervisorTest, HostEndedWithTheSessionIsLeftAloneByTheWatchdogOfTheNextLogin) {
  for (const SessionEndCase& c : kSessionEnds) {
    SCOPED_TRACE(c.name);
    reset();
    fake_->announcesCancel = c.announcesCancel;
    auto supervisor = start(300);
    fake_->advance(1);
    fake_->announce(c.end);
    fake_->runDue();
    crash(300);
    fake_->advance(5);
    // The job manager's watchdog of the next login, in the same boot.
    supervisor.reset();
    supervisor = start();
    fake_->advance(30);
    EXPECT_THAT(fake_->opened, IsEmpty());
    EXPECT_THAT(fake_->lines, ElementsAre(kWatching, kWatching));
  }
}

TEST_F(SupervisorTest, RelaunchPendingWhenTheSessionEndsIsDroppedNotCarriedOutAtTheNextLogin) {
  auto supervisor = start(300);
  crash(300);  // its launch is due a second later
  EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(files().ledgerPath())->pendingRelaunch, kRecovered);
  fake_->announcePowerOff();
  fake_->runDue();
  EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(files().ledgerPath())->pendingRelaunch,
            std::nullopt);
  fake_->advance(0.5);
  supervisor.reset();  // ended with the session

  supervisor = start();
  fake_->advance(30);
  EXPECT_THAT(fake_->opened, IsEmpty());
}

struct CalledOffCase {
  const char* name;
  bool announcesCancel;
  MainLoop::SessionEndNotice::Kind end;
  double waited;                                      // after the notice, still shutting down
  std::optional<MainLoop::SessionEndNotice::Kind> calledOff;  // said by the system, else time tells
};
const CalledOffCase kCalledOff[] = {
    {"macOS: still running a minute after the notice", false, Kind::powerOff, 59.5, {}},
    {"Linux: shutdown cancelled", true, Kind::powerOff, 600, Kind::powerOffCancelled},
    {"Linux: back in a session", true, Kind::logout, 600, Kind::logoutCancelled},
};

class CalledOffTest : public SupervisorTest {
 public:
  // A crash seen while the end is announced, then the end called off.
  std::shared_ptr<WatchdogSupervisor> crashThenCallOff(const CalledOffCase& c) {
    reset();
    fake_->announcesCancel = c.announcesCancel;
    auto supervisor = start(300);
    crash(300);
    fake_->announce(c.end);
    fake_->advance(c.waited);
    EXPECT_TRUE(supervisor->shuttingDown());
    EXPECT_THAT(fake_->opened, IsEmpty());
    if (c.calledOff) fake_->announce(*c.calledOff);
    fake_->advance(1);
    return supervisor;
  }
};

TEST_F(CalledOffTest, EndCalledOffIsNoLongerShuttingDown) {
  for (const CalledOffCase& c : kCalledOff) {
    SCOPED_TRACE(c.name);
    auto supervisor = crashThenCallOff(c);
    EXPECT_FALSE(supervisor->shuttingDown());
  }
}

TEST_F(CalledOffTest, EndCalledOffCarriesOutTheDroppedRelaunch) {
  for (const CalledOffCase& c : kCalledOff) {
    SCOPED_TRACE(c.name);
    auto supervisor = crashThenCallOff(c);
    fake_->advance(3);
    EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  }
}

TEST_F(CalledOffTest, CrashesAfterAnEndCalledOffAreRelaunched) {
  for (const CalledOffCase& c : kCalledOff) {
    SCOPED_TRACE(c.name);
    auto supervisor = crashThenCallOff(c);
    fake_->advance(3);
    crash(nextPid_ - 1);  // the relaunched host
    fake_->advance(5);
    EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered));
  }
}

struct InstanceCase {
  const char* name;
  std::vector<RunningApplication> running;
  bool counts;
  std::vector<RunningApplication> program = {};  // the recorded one, behind a wrapper
};

class InstanceTest : public SupervisorTest {
 public:
  // The host ends, and `c` runs by the tick that judges it (or only by the
  // launch a second later).
  std::shared_ptr<WatchdogSupervisor> endWith(const InstanceCase& c, bool atJudgement) {
    reset();
    fake_->startedAt[300] = 1000;
    fake_->processes[9] = kHost;
    auto supervisor = start(300);
    fake_->endProcess(300);
    if (!atJudgement) fake_->runDue();
    fake_->running = c.running;
    fake_->programs[kHost] = c.program;
    fake_->advance(1);
    return supervisor;
  }
  static const std::vector<InstanceCase>& cases();
};

const std::vector<InstanceCase>& InstanceTest::cases() {
  static const std::vector<InstanceCase> cases = {
      {"nothing runs", {}, false},
      {"terminated", {{9, true, kBundle}}, false},
      {"no bundle location", {{9, false, std::nullopt}}, false},
      {"another Unicode form", {{9, false, "/Applications/Cafe\xCC\x81.app"}}, false},
      {"this bundle, unnormalised", {{9, false, kBundle + "/./"}}, true},
      {"left behind in the ended run's group", {{9, false, kBundle, 300, 1}}, false},
      {"left behind in the ended run's session", {{9, false, kBundle, 9, 300}}, false},
      {"the recorded program", {}, true, {{9, false, std::nullopt}}},
      {"the recorded program, left behind", {}, false, {{9, false, std::nullopt, 300, 1}}},
      // Forked by the run, in no group or session of its own: it started while the run lived.
      {"started while the run lived", {{9, false, kBundle, 9, 9, Seconds(1000.0)}}, false},
      {"started after the run ended", {{9, false, kBundle, 9, 9, Seconds(1000.5)}}, true},
      // Before the run's process began, which the watchdog saw alive: no fork of it, though
      // it began within a second of the record's start.
      {"started just before the run", {{9, false, kBundle, 9, 9, Seconds(999.5)}}, true},
      {"the recorded program, forked",
       {},
       false,
       {{9, false, std::nullopt, 1, 1, Seconds(1000.0)}}},
      // Still listed a moment after it ended, as macOS lists an application.
      {"the ended host itself", {{300, false, kBundle}}, false},
      {"listed, but gone", {{10, false, kBundle}}, false},
  };
  return cases;
}

TEST_F(InstanceTest, HostRunningFromThisBundleAtTheJudgementDefersIt) {
  for (const InstanceCase& c : cases()) {
    SCOPED_TRACE(c.name);
    auto supervisor = endWith(c, /*atJudgement=*/true);
    EXPECT_EQ(fake_->opened.size(), c.counts ? 0u : 1u);
    EXPECT_EQ(supervisor->ledger().handledLaunchID.has_value(), !c.counts);
    EXPECT_FALSE(supervisor->launchUnderWay());
  }
}

TEST_F(InstanceTest, HostRunningFromThisBundleAtTheLaunchEndsIt) {
  for (const InstanceCase& c : cases()) {
    SCOPED_TRACE(c.name);
    auto supervisor = endWith(c, /*atJudgement=*/false);
    EXPECT_EQ(fake_->opened.size(), c.counts ? 0u : 1u);
    EXPECT_TRUE(supervisor->ledger().handledLaunchID.has_value());
    EXPECT_FALSE(supervisor->launchUnderWay());
  }
}

TEST_F(SupervisorTest, FirstWatchdogOfTheFolderTidiesIt) {
  const fs::path folder = files().directory();
  fs::create_directories(folder);
  // Left by interrupted writes: the ledger's and the hang report's at any age,
  // the host's past a minute.
  const char* removed[] = {".watchdog.json.a1B2c3", ".hang-report.json.d4E5f6", ".host.json.old123",
                           ".hang.json.old456"};
  for (const char* name : removed) std::ofstream(folder / name) << "{";
  const char* kept[] = {".host.json.new789", ".watchdog.json.toolong"};
  for (const char* name : kept) std::ofstream(folder / name) << "{";
  for (const char* old : {".host.json.old123", ".hang.json.old456"}) {
    fs::last_write_time(folder / old, fs::file_time_type::clock::now() - std::chrono::minutes(2));
  }
  auto first = start(300);
  for (const char* name : removed) EXPECT_FALSE(fs::exists(folder / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(fs::exists(folder / name)) << name;
}

TEST_F(SupervisorTest, SecondWatchdogOfTheFolderWaitsAndSaysSoOnce) {
  auto first = start(300);
  auto second = start();
  crash(300);
  fake_->advance(10);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  EXPECT_EQ(std::ranges::count(fake_->lines, "Another watchdog is watching " + kBundle +
                                                 "; waiting until it stops"),
            1);
}

TEST_F(SupervisorTest, SecondWatchdogTakesOverWithTheFirstOnesLedger) {
  auto first = start(300);
  auto second = start();
  crash(300);
  fake_->advance(10);
  first.reset();
  fake_->advance(2);
  crash(500);
  fake_->advance(2);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered));
  EXPECT_EQ(second->ledger().relaunches, 2);  // the first one's count taken over
}

class DeletedLockTest : public SupervisorTest {
 public:
  // Two watchdogs; the folder is reset, the second locks the new lock file,
  // and the host crashes.
  std::pair<std::shared_ptr<WatchdogSupervisor>, std::shared_ptr<WatchdogSupervisor>>
  resetTheFolderUnderTheFirst() {
    auto first = start(300);
    auto second = start();
    fake_->advance(1);
    // Application data reset; the host makes the folder again with its next record.
    fs::remove_all(files().directory());
    startHost(300);
    fake_->advance(2);
    EXPECT_TRUE(fs::exists(files().lockPath()));
    crash(300);
    fake_->advance(10);
    return {first, second};
  }
};

TEST_F(DeletedLockTest, HolderOfADeletedLockFileStepsDownForTheWatchdogThatLockedItsSuccessor) {
  auto [first, second] = resetTheFolderUnderTheFirst();
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  const std::string stepDown = "The lock file " + files().lockPath().string() +
                               " was deleted or replaced, and another watchdog holds it now; "
                               "waiting until it stops";
  EXPECT_EQ(std::ranges::count(fake_->lines, stepDown), 1);
}

TEST_F(DeletedLockTest, SteppedDownWatchdogTakesOverWhenTheOtherEnds) {
  auto [first, second] = resetTheFolderUnderTheFirst();
  second.reset();
  fake_->advance(2);
  crash(500);
  fake_->advance(2);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered));
  EXPECT_EQ(first->ledger().relaunches, 2);  // taken over from the second
}

// While the lock file was gone another watchdog may have locked it, judged
// and let go: its ledger, not this one's memory, holds what was decided.
TEST_F(SupervisorTest, ALedgerWrittenWhileTheLockFileWasGoneIsTakenOverBeforeActing) {
  auto supervisor = start(300);
  fake_->advance(1);
  fs::remove(files().lockPath());
  WatchdogLedger other = supervisor->ledger();
  other.handledLaunchID = "run-300";
  other.relaunches = 1;
  ASSERT_TRUE(WatchdogStore::write(other, files().ledgerPath()));
  crash(300);
  fake_->advance(4);
  EXPECT_THAT(fake_->opened, IsEmpty());
  EXPECT_EQ(supervisor->ledger(), other);
}

TEST_F(SupervisorTest, SteadyTickDoesNotLookAtTheLock) {
  auto supervisor = start(300);
  fs::remove(files().lockPath());
  fake_->advance(5);
  EXPECT_FALSE(fs::exists(files().lockPath()));
}

TEST_F(SupervisorTest, DeletedLockFileIsLockedAgainWhenNoOtherWatchdogHoldsIt) {
  auto supervisor = start(300);
  fs::remove(files().lockPath());
  fake_->advance(5);
  crash(300);
  fake_->advance(2);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  EXPECT_TRUE(fs::exists(files().lockPath()));
  EXPECT_EQ(std::ranges::count(fake_->lines, "The lock file " + files().lockPath().string() +
                                                 " was deleted or replaced; locked it again"),
            1);
}

}  // namespace
}  // namespace veldane
