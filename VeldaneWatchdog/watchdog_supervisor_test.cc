#include "VeldaneWatchdog/watchdog_supervisor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/test/fake_platform.h"
#include "state/host_hang_note.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Args = std::vector<std::string>;
using namespace std::string_literals;

// Precomposed; the decomposed form names another folder on Linux.
const std::string kBundle = "/Applications/Caf\xC3\xA9.app";
const std::string kOtherForm = "/Applications/Cafe\xCC\x81.app";
const std::string kHelper = kBundle + "/Contents/MacOS/VeldaneWatchdog";
const std::string kHost = kBundle + "/Contents/MacOS/Host";
const std::string kIdentifier = "com.example.host";
const std::string kWatching = "Watching " + kBundle;
const std::string kRelaunching = "Host ended unexpectedly (crash); relaunching";
const Args kRecovered{"--veldane-recovered"};
const Args kSafeMode{"--veldane-recovered", "--veldane-safe-mode"};
const std::pair<int32_t, int> kKilled300{300, SIGKILL};

class SupervisorTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/supervisor-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    reset();
  }
  void TearDown() override { fs::remove_all(root_); }

  // A fresh platform and data folder, for each case of a table.
  void reset() {
    fs::remove_all(files().directory);
    fake_ = std::make_unique<FakePlatform>();
    fake_->applicationSupport = root_.string();
    fake_->bundles[kBundle] = {kIdentifier, "Host"};
    fake_->files[kHelper] = FileIdentity{7, 1234, 1'700'000'000};
    // A successful opening starts a host, as the real one would.
    fake_->onOpen = [this] {
      const int32_t pid = nextPid_++;
      if (relaunchedHostStarts_) startHost(pid, "run-" + std::to_string(pid));
    };
  }
  std::shared_ptr<WatchdogSupervisor> start() {
    auto supervisor = WatchdogSupervisor::create(kHelper, fake_->platform());
    if (supervisor) supervisor->run();
    return supervisor;
  }

  WatchdogFiles files() const { return WatchdogFiles::forBundle(root_, kIdentifier, kBundle); }
  // A record whose last heartbeat was `silentFor` seconds ago.
  void startHost(int32_t pid, const std::string& launchID, bool curtainUp = false,
                 double silentFor = 0) {
    fake_->processes[pid] = kHost;
    HostRunRecord r;
    r.pid = pid;
    r.launchID = launchID;
    r.bootSession = fake_->boot;
    r.executablePath = kHost;
    r.startedAt = r.heartbeatAt = std::chrono::floor<std::chrono::seconds>(fake_->now());
    r.heartbeatUptime = fake_->uptime() - silentFor;
    r.curtainUp = curtainUp;
    ASSERT_TRUE(WatchdogStore::write(r, files().hostRecordPath()));
  }
  void crash(int32_t pid) {
    fake_->endProcess(pid);
    fake_->runDue();
  }
  std::optional<WatchdogLedger> ledgerOnDisk() const {
    return WatchdogStore::read<WatchdogLedger>(files().ledgerPath());
  }

  std::unique_ptr<FakePlatform> fake_;
  fs::path root_;
  bool relaunchedHostStarts_ = true;
  int32_t nextPid_ = 500;
};

TEST_F(SupervisorTest, ConstructionFailsOutsideAUsableBundle) {
  const std::pair<std::string, std::function<void(FakePlatform&)>> cases[] = {
      {kBundle + "/Contents/Helpers/W", [](FakePlatform&) {}},
      {kHelper, [](FakePlatform& f) { f.bundles.clear(); }},
      {kHelper, [](FakePlatform& f) { f.bundles[kBundle] = {"../../escape", "Host"}; }},
      {kHelper, [](FakePlatform& f) { f.applicationSupport.reset(); }},
  };
  for (const auto& [executable, setup] : cases) {
    reset();
    setup(*fake_);
    EXPECT_EQ(WatchdogSupervisor::create(executable, fake_->platform()), nullptr) << executable;
    EXPECT_THAT(fake_->lines, IsEmpty());
  }
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(SupervisorTest, CrashIsJudgedAtOnceAndRelaunchedOneSecondLater) {
  startHost(300, "first");
  auto supervisor = start();
  EXPECT_EQ(fake_->nextTimer(), std::pair(3.0, 0.75));  // a live host, curtain down
  fake_->advance(1.5);
  crash(300);
  EXPECT_EQ(supervisor->watchedPID(), 0);
  EXPECT_EQ(fake_->nextTimer(), std::pair(2.0, 0.5));
  EXPECT_EQ(fake_->pendingTimers(), 1u);
  EXPECT_THAT(fake_->lines, ElementsAre(kWatching, kRelaunching));
  EXPECT_EQ(fake_->levels, (std::vector{LogLevel::standard, LogLevel::error}));
  EXPECT_EQ(ledgerOnDisk()->relaunches, 1);
  EXPECT_TRUE(supervisor->launchInFlight());
  fake_->advance(0.999);
  EXPECT_THAT(fake_->opened, IsEmpty());
  fake_->advance(0.001);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  fake_->runDue();
  EXPECT_FALSE(supervisor->launchInFlight());
  fake_->advance(2);
  EXPECT_EQ(supervisor->watchedPID(), 500);

  // Its pid taken by a stranger without the watch firing: the watch goes.
  fake_->processes[500] = "/usr/bin/other";
  fake_->advance(2.5);
  EXPECT_FALSE(fake_->watching(500));
  EXPECT_EQ(supervisor->watchedPID(), 0);
  // Powering off drops the pending relaunch, but the ticks go on until the end.
  fake_->announcePowerOff();
  fake_->advance(1);
  EXPECT_EQ(fake_->opened.size(), 1u);
  EXPECT_FALSE(supervisor->launchInFlight());
  const int ticks = fake_->fileIdentityCalls;
  fake_->advance(20);
  EXPECT_EQ(fake_->fileIdentityCalls, ticks + 10);
  supervisor.reset();
  fake_->advance(30);
  EXPECT_EQ(fake_->fileIdentityCalls, ticks + 10);
}

TEST_F(SupervisorTest, HungHostIsSampledOncePerSilenceAndKilledThroughItsWatchAfterADiagnosis) {
  startHost(300, "stuck");
  fake_->cpu[300] = {{300, 1.0}, {301, 2.0}};
  const HostThreadSnapshot spinning{
      300, "Host", "running", std::nullopt, 1.5, std::nullopt, {}, {"spin() (a.cc:3)"}};
  const HostThreadSnapshot waiting{
      301, "io", "sleeping", "futex_wait_queue", 2.0, std::nullopt, {}, {}};
  fake_->answer = {{spinning, waiting}, "unwound"};
  auto supervisor = start();
  // Beating, silent for less than the limit, beating again, then silent.
  for (int t = 0; t < 114; ++t) {
    if (t < 30 || (t >= 60 && t < 70)) startHost(300, "stuck");
    fake_->advance(1);
  }
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
  // At the first tick past half the limit.
  EXPECT_THAT(fake_->samples, ElementsAre(54, 93));
  fake_->advance(3);  // the 3 s tick after 45 s of silence
  EXPECT_THAT(fake_->signalsSent, ElementsAre(kKilled300));
  EXPECT_THAT(fake_->snapshots, ElementsAre(0u)) << "the snapshot comes before the signal";
  EXPECT_THAT(fake_->killedByPid, IsEmpty());
  fake_->runDue();
  const std::string summary = "main thread spinning in user space in spin() (a.cc:3) for 48 s";
  EXPECT_THAT(fake_->lines,
              ElementsAre(kWatching, "Host heartbeat stopped; ending pid 300 so it can be relaunched",
                          "Hung host pid 300: " + summary,
                          "Host ended unexpectedly (hang); relaunching"));
  const auto report = WatchdogStore::read<WatchdogHangReport>(files().hangReportPath());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->launchID, "stuck");
  EXPECT_EQ(report->sampleSeconds, 24);
  EXPECT_EQ(report->summary, summary);
  ASSERT_EQ(fake_->fields.size(), 1u);
  EXPECT_THAT(fake_->fields[0], ::testing::Contains(std::pair<std::string, std::string>(
                                    "THREAD_STATES",
                                    "300 Host: running, 1.5 s CPU (500 ms since the sample)\n"
                                    "301 io: sleeping in futex_wait_queue, 2.0 s CPU (0 ms "
                                    "since the sample)\n")));
}

TEST_F(SupervisorTest, SnapshotThatOutrunsItsBudgetDoesNotHoldTheSignalBack) {
  startHost(300, "stuck", /*curtainUp=*/true);
  fake_->answerAtOnce = false;
  relaunchedHostStarts_ = false;
  auto supervisor = start();
  EXPECT_EQ(fake_->nextTimer(), std::pair(1.0, 0.25));
  fake_->advance(7.499);  // judged at 7 s
  EXPECT_THAT(fake_->samples, ElementsAre(4));
  ASSERT_EQ(fake_->waiting.size(), 1u);
  EXPECT_THAT(fake_->signalsSent, IsEmpty());
  fake_->advance(0.001);
  EXPECT_THAT(fake_->signalsSent, ElementsAre(kKilled300));
  fake_->waiting[0]({});  // too late: ignored
  fake_->runDue();
  EXPECT_EQ(fake_->signalsSent.size(), 1u);
  const auto report = WatchdogStore::read<WatchdogHangReport>(files().hangReportPath());
  EXPECT_EQ(report->snapshotSeconds, 0.5);
  EXPECT_EQ(report->stacks, "the snapshot did not finish within its time");

  // A host that ends by itself during the snapshot is not signalled at all.
  startHost(301, "stuck-too", /*curtainUp=*/true);
  fake_->advance(7);
  ASSERT_EQ(fake_->waiting.size(), 2u);
  crash(301);
  fake_->waiting[1]({});
  EXPECT_EQ(fake_->signalsSent.size(), 1u);
  EXPECT_EQ(WatchdogStore::read<WatchdogHangReport>(files().hangReportPath())->pid, 301);
}

TEST_F(SupervisorTest, OnlyThisUsersHostAtTheRecordedPidIsEverSignalled) {
  // Silent for long: a kill is due at once for a host found alive.
  const std::tuple<const char*, std::function<void(SupervisorTest&)>, bool> cases[] = {
      {"traced", [](auto& t) { t.fake_->traced.insert(300); }, true},
      {"the watchdog itself", [](auto& t) { t.startHost(4242, "silent", false, 100); }, true},
      {"another program", [](auto& t) { t.fake_->processes[300] = "/usr/bin/other"; }, false},
      {"another Unicode form",
       [](auto& t) { t.fake_->processes[300] = kOtherForm + "/Contents/MacOS/Host"; }, false},
      {"another user's copy", [](auto& t) { t.fake_->otherUsers.insert(300); }, false},
  };
  for (const auto& [name, setup, alive] : cases) {
    SCOPED_TRACE(name);
    reset();
    startHost(300, "silent", false, 100);
    setup(*this);
    auto supervisor = start();
    fake_->advance(2);
    EXPECT_THAT(fake_->signalsSent, IsEmpty());
    EXPECT_THAT(fake_->killedByPid, IsEmpty());
    EXPECT_EQ(fake_->lines.size(), alive ? 1u : 2u);  // judged ended, if not alive
  }
}

TEST_F(SupervisorTest, ThirdCrashInFiveMinutesLaunchesSafeModeOnceThenStops) {
  startHost(300, "run-0");
  auto supervisor = start();
  for (int i = 0; i < 4; ++i) {
    fake_->advance(10);
    // A hang note names the second run: its end counts as a hang.
    const HostHangNote note{"run-500", std::chrono::floor<std::chrono::seconds>(fake_->now()), 1};
    ASSERT_TRUE(WatchdogStore::write(note, files().hangNotePath()));
    crash(supervisor->watchedPID());
    fake_->advance(3);
  }
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered, kSafeMode));
  EXPECT_THAT(fake_->lines,
              ElementsAre(kWatching, kRelaunching, "Host ended unexpectedly (hang); relaunching",
                          "Host ended unexpectedly (crash) again; stopping after repeated crashes",
                          "Host ended (crash) while stopped after repeated crashes; not relaunching"));
  fake_->advance(600);
  EXPECT_EQ(fake_->opened.size(), 3u);
}

TEST_F(SupervisorTest, FailedOpeningsAreRetriedTwiceThenGivenUp) {
  fake_->openErrors = {"no such file", "no such file", "no such file"};
  startHost(300, "a");
  auto supervisor = start();
  crash(300);
  fake_->advance(3);  // the first opening failed; a retry is due at 6 s
  // A host started by hand meanwhile crashes too: its judgement waits for
  // the launch under way, which keeps its own timing.
  startHost(301, "b");
  fake_->advance(1);
  ASSERT_EQ(supervisor->watchedPID(), 301);
  crash(301);
  fake_->advance(16);
  EXPECT_THAT(fake_->openedAt, ElementsAre(1.0, 7.0, 13.0, 19.0));
  EXPECT_FALSE(supervisor->launchInFlight());
  EXPECT_EQ(std::ranges::count(fake_->lines, "Relaunch failed: no such file"), 3);
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
      {"waiting to retry", 1, 3, [](auto& t) { t.fake_->openErrors = {"busy"}; }, {kRecovered}},
      {"safe mode", 3, 0.5, [](auto&) {}, {kSafeMode}},
      {"host runs again", 1, 0.5, [](auto& t) { t.startHost(400, "by hand"); }, {}},
      {"machine restarted", 1, 0.5, [](auto& t) { t.fake_->boot = "boot-2"; }, {}},
      // The relaunched host died before writing its record: not launched again.
      {"opened already", 1, 1.5, [](auto&) {}, {}},
  };
  relaunchedHostStarts_ = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    startHost(300, "first");
    auto supervisor = start();
    for (int i = 1; i <= c.crashes; ++i) {
      if (i > 1) startHost(300 + i, "crash " + std::to_string(i));
      fake_->advance(3);
      crash(supervisor->watchedPID());
      if (i < c.crashes) fake_->advance(1);
    }
    c.meanwhile(*this);
    fake_->advance(c.stopAfter);
    supervisor.reset();
    const auto before = static_cast<std::ptrdiff_t>(fake_->opened.size());
    fake_->openErrors.clear();

    supervisor = start();
    fake_->advance(30);
    EXPECT_EQ(std::vector(fake_->opened.begin() + before, fake_->opened.end()), c.launched);
    EXPECT_EQ(supervisor->ledger().relaunches, c.name == "machine restarted"s ? 0 : c.crashes);
    EXPECT_EQ(ledgerOnDisk()->pendingRelaunch, std::nullopt);
  }
}

TEST_F(SupervisorTest, HostRunningFromThisBundleDefersTheJudgementAndSkipsTheLaunch) {
  const struct {
    const char* name;
    std::vector<RunningApplication> running;
    bool counts;
    // Processes running the recorded program, as behind a wrapper script.
    std::vector<RunningApplication> program = {};
  } cases[] = {
      {"nothing runs", {}, false},
      {"terminated", {{9, true, kBundle}}, false},
      {"no bundle location", {{9, false, std::nullopt}}, false},
      {"another Unicode form", {{9, false, kOtherForm}}, false},
      {"this bundle, unnormalised", {{9, false, kBundle + "/./"}}, true},
      {"left behind in the ended run's group", {{9, false, kBundle, 300, 1}}, false},
      {"left behind in the ended run's session", {{9, false, kBundle, 9, 300}}, false},
      {"the recorded program", {}, true, {{9, false, std::nullopt}}},
      {"the recorded program, left behind", {}, false, {{9, false, std::nullopt, 300, 1}}},
  };
  for (const auto& c : cases) {
    // Seen by the judgement, or only by the launch a second later.
    for (const bool atJudgement : {true, false}) {
      SCOPED_TRACE(c.name + (atJudgement ? ", at the judgement"s : ", at the launch"s));
      reset();
      startHost(300, "a");
      auto supervisor = start();
      const auto appear = [&] {
        fake_->applications[kIdentifier] = c.running;
        fake_->programs[kHost] = c.program;
      };
      if (atJudgement) appear();
      crash(300);
      appear();
      fake_->advance(1);
      EXPECT_EQ(fake_->opened.size(), c.counts ? 0u : 1u);
      EXPECT_EQ(supervisor->ledger().handledLaunchID.has_value(), !(atJudgement && c.counts));
      EXPECT_FALSE(supervisor->launchInFlight());
    }
  }
}

TEST_F(SupervisorTest, SecondWatchdogOfTheFolderWaitsAndTakesOverWhenTheFirstStops) {
  startHost(300, "a");
  auto first = start();
  auto second = start();
  crash(300);
  fake_->advance(10);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  EXPECT_EQ(std::ranges::count(fake_->lines, "Another watchdog is watching " + kBundle +
                                                 "; waiting until it stops"),
            1);
  first.reset();
  fake_->advance(2);
  crash(500);
  fake_->advance(2);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered, kRecovered));
  EXPECT_EQ(second->ledger().relaunches, 2);  // the first one's count taken over
}

TEST_F(SupervisorTest, FailedTicksKeepTheChainAndNoTimerMeansExitNonZero) {
  startHost(300, "stuck");
  auto supervisor = start();
  fake_->failingCalls = 5;
  fake_->advance(60);
  EXPECT_THAT(fake_->signalsSent, ElementsAre(kKilled300));
  fake_->runDue();
  fake_->failingCalls = 1;  // the tick that judges the kill's exit
  fake_->advance(10);
  EXPECT_THAT(fake_->opened, ElementsAre(kRecovered));
  fake_->timersFail = true;
  fake_->advance(3);
  EXPECT_EQ(fake_->exitStatus, 1);
  EXPECT_EQ(fake_->lines.back(), "Cannot arm the next tick; exiting");
}

TEST_F(SupervisorTest, StartRemovesWhatInterruptedWritesLeft) {
  const fs::path folder = files().directory;
  fs::create_directories(folder);
  // The ledger's whatever their age, the host's only once a minute old.
  const char* removed[] = {".watchdog.json.a1B2c3", ".host.json.old123", ".hang.json.old456"};
  for (const char* name : removed) std::ofstream(folder / name) << "{";
  std::ofstream(folder / ".host.json.new789") << "{";
  for (const char* old : {".host.json.old123", ".hang.json.old456"}) {
    fs::last_write_time(folder / old, fs::file_time_type::clock::now() - std::chrono::minutes(2));
  }
  auto supervisor = start();
  for (const char* name : removed) EXPECT_FALSE(fs::exists(folder / name)) << name;
  EXPECT_TRUE(fs::exists(folder / ".host.json.new789"));
}

}  // namespace
}  // namespace veldane
