#include "VeldaneWatchdog/watchdog_supervisor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "VeldaneWatchdog/hang_diagnosis.h"
#include "platform/test/fake_platform.h"
#include "state/host_hang_note.h"
#include "state/watchdog_hang_report.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

const std::string kBundle = "/Applications/Host.app";
const std::string kHelper = kBundle + "/Contents/MacOS/VeldaneWatchdog";
const std::string kHostExecutable = kBundle + "/Contents/MacOS/Host";
const std::string kIdentifier = "com.example.host";
const std::vector<std::string> kRecovered{"--veldane-recovered"};
const std::vector<std::string> kSafeMode{"--veldane-recovered", "--veldane-safe-mode"};

class SupervisorTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/supervisor-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    installIn(fake_);
    fake_.probes.files[kHelper] = FileIdentity{7, 1234, 1'700'000'000};
    // A successful opening starts a simulated host, as the real one would.
    fake_.workspace.onOpen = [this](const FakeWorkspace::Open& open) {
      launchedArguments_.push_back(open.arguments);
      if (!relaunchedHostStarts_) return;
      const int32_t pid = nextPid_++;
      startHost(pid, "run-" + std::to_string(pid));
    };
  }
  void TearDown() override { fs::remove_all(root_); }

  std::shared_ptr<WatchdogSupervisor> start() {
    auto supervisor = WatchdogSupervisor::create(kHelper, fake_.platform());
    if (supervisor) supervisor->run();
    return supervisor;
  }

  WatchdogFiles files() const { return WatchdogFiles::forBundle(root_, kIdentifier, kBundle); }
  // A platform of its own for a case of a table.
  void installIn(FakePlatform& fake) const {
    fake.probes.applicationSupport = root_.string();
    fake.bundles.bundles[kBundle] = {kIdentifier, "Host"};
  }

  HostRunRecord record(int32_t pid, const std::string& launchID) {
    HostRunRecord r;
    r.pid = pid;
    r.launchID = launchID;
    r.bootSession = fake_.probes.boot;
    r.executablePath = kHostExecutable;
    r.startedAt = r.heartbeatAt = std::chrono::floor<std::chrono::seconds>(fake_.probes.now());
    r.heartbeatUptime = fake_.probes.uptime();
    return r;
  }
  void write(const HostRunRecord& r) { ASSERT_TRUE(WatchdogStore::write(r, files().hostRecordPath())); }
  void startHost(int32_t pid, const std::string& launchID, bool curtainUp = false) {
    fake_.probes.processes[pid] = kHostExecutable;
    HostRunRecord r = record(pid, launchID);
    r.curtainUp = curtainUp;
    write(r);
  }
  void crash(int32_t pid) {
    fake_.probes.processes.erase(pid);
    fake_.loop.endProcess(pid);
    fake_.loop.runDue();
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& line : fake_.log.lines) out.push_back(line.message);
    return out;
  }
  std::optional<WatchdogLedger> ledgerOnDisk() const {
    return WatchdogStore::read<WatchdogLedger>(files().ledgerPath());
  }

  FakePlatform fake_;
  fs::path root_;
  std::vector<std::vector<std::string>> launchedArguments_;
  bool relaunchedHostStarts_ = true;
  int32_t nextPid_ = 500;
};

TEST_F(SupervisorTest, ConstructionFailsOutsideAUsableBundle) {
  struct Case {
    const char* name;
    std::string executable;
    std::function<void(FakePlatform&)> setup;
  };
  const Case cases[] = {
      {"not in Contents/MacOS", "/Applications/Host.app/Contents/Helpers/W", nullptr},
      {"no readable bundle", kHelper, [](FakePlatform& f) { f.bundles.bundles.clear(); }},
      {"no identifier", kHelper, [](FakePlatform& f) { f.bundles.bundles[kBundle] = {}; }},
      {"no application support",
       kHelper, [](FakePlatform& f) { f.probes.applicationSupport.reset(); }},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    installIn(fake);
    if (c.setup) c.setup(fake);
    EXPECT_EQ(WatchdogSupervisor::create(c.executable, fake.platform()), nullptr) << c.name;
    EXPECT_THAT(fake.log.lines, IsEmpty()) << c.name;
  }
  for (const std::string& identifier : {""s, "."s, ".."s, "a/b"s, "../../escape"s, "a\0b"s}) {
    FakePlatform fake;
    installIn(fake);
    fake.bundles.bundles[kBundle] = {identifier, "Host"};
    EXPECT_EQ(WatchdogSupervisor::create(kHelper, fake.platform()), nullptr) << identifier;
  }
  EXPECT_TRUE(fs::is_empty(root_));
}

TEST_F(SupervisorTest, ConstructionLoadsTheLedgerAndFindsTheDataFolder) {
  WatchdogLedger stored;
  stored.bootSession = "an earlier boot";
  stored.relaunches = 9;
  ASSERT_TRUE(WatchdogStore::write(stored, files().ledgerPath()));
  fake_.probes.files.clear();  // the own executable cannot be examined

  auto supervisor = WatchdogSupervisor::create(kHelper + "/../VeldaneWatchdog", fake_.platform());
  ASSERT_NE(supervisor, nullptr);
  EXPECT_EQ(supervisor->bundlePath(), kBundle);
  EXPECT_EQ(supervisor->bundleIdentifier(), kIdentifier);
  EXPECT_EQ(supervisor->files(), files());
  EXPECT_EQ(supervisor->ledger(), stored);
  EXPECT_EQ(supervisor->executableIdentity(), std::nullopt);
}

TEST_F(SupervisorTest, BadLedgerFileGivesTheEmptyLedgerAndIsReplacedByTheFirstTick) {
  fs::create_directories(files().directory);
  { std::ofstream(files().ledgerPath()) << "{\"version\":1}"; }
  auto supervisor = WatchdogSupervisor::create(kHelper, fake_.platform());
  ASSERT_NE(supervisor, nullptr);
  EXPECT_EQ(supervisor->ledger(), WatchdogLedger{});
  EXPECT_EQ(*WatchdogStore::readFile(files().ledgerPath()), "{\"version\":1}");

  supervisor->run();
  WatchdogLedger fresh;
  fresh.bootSession = fake_.probes.boot;
  EXPECT_EQ(ledgerOnDisk(), fresh);
}

TEST_F(SupervisorTest, RunLogsOnceTicksAtOnceAndKeepsExactlyOneTimer) {
  auto supervisor = start();
  EXPECT_THAT(messages(), ElementsAre("Watching " + kBundle));
  EXPECT_EQ(fake_.probes.calls["fileIdentity"], 2);  // construction and the first tick
  EXPECT_EQ(fake_.loop.pendingTimers(), 1u);
  fake_.loop.advance(10);
  EXPECT_EQ(fake_.loop.pendingTimers(), 1u);
  EXPECT_EQ(fake_.probes.calls["fileIdentity"], 2 + 5);  // every 2 s without a record
  EXPECT_EQ(messages().size(), 1u);
}

TEST_F(SupervisorTest, NextTickDependsOnTheHost) {
  struct Case {
    const char* name;
    std::function<void(SupervisorTest&)> setup;
    double delay;
  };
  const Case cases[] = {
      {"no record", [](SupervisorTest&) {}, 2.0},
      {"record of a dead process",
       [](SupervisorTest& t) {
         HostRunRecord r = t.record(300, "a");
         r.cleanExit = true;
         t.write(r);
       },
       2.0},
      {"alive, curtain up", [](SupervisorTest& t) { t.startHost(300, "a", true); }, 1.0},
      {"alive, curtain down", [](SupervisorTest& t) { t.startHost(300, "a", false); }, 3.0},
  };
  for (const Case& c : cases) {
    fs::remove_all(files().directory);
    c.setup(*this);
    auto supervisor = start();
    EXPECT_EQ(fake_.loop.nextTimerIn(), c.delay) << c.name;
    EXPECT_EQ(fake_.loop.nextTimerTolerance(), c.delay * 0.25) << c.name;
  }
}

TEST_F(SupervisorTest, CrashIsJudgedAtOnceAndRelaunchedOneSecondLater) {
  startHost(300, "first");
  auto supervisor = start();
  EXPECT_EQ(supervisor->watchedPID(), 300);
  fake_.loop.advance(1.5);

  crash(300);
  EXPECT_EQ(fake_.loop.time(), 1.5);  // judged by the exit watch, not by a timer
  EXPECT_EQ(supervisor->watchedPID(), 0);
  EXPECT_EQ(fake_.loop.pendingTimers(), 1u);
  EXPECT_EQ(fake_.loop.nextTimerIn(), 2.0);
  EXPECT_THAT(messages(), ElementsAre("Watching " + kBundle,
                                      "Host ended unexpectedly (crash); relaunching"));
  EXPECT_EQ(fake_.log.lines.back().level, LogLevel::error);
  std::optional<WatchdogLedger> ledger = ledgerOnDisk();
  ASSERT_TRUE(ledger);
  EXPECT_EQ(ledger->handledLaunchID, "first");
  EXPECT_EQ(ledger->lastExit, WatchdogExitKind::crash);
  EXPECT_EQ(ledger->relaunches, 1);
  EXPECT_TRUE(supervisor->launchInFlight());

  fake_.loop.advance(0.999);
  EXPECT_THAT(fake_.workspace.opens, IsEmpty());
  fake_.loop.advance(0.001);
  ASSERT_EQ(fake_.workspace.opens.size(), 1u);
  EXPECT_EQ(fake_.workspace.opens[0].bundlePath, kBundle);
  EXPECT_EQ(fake_.workspace.opens[0].arguments, kRecovered);
  fake_.loop.runDue();
  EXPECT_FALSE(supervisor->launchInFlight());

  fake_.loop.advance(2);  // the new host is found and watched
  EXPECT_EQ(supervisor->watchedPID(), 500);
}

TEST_F(SupervisorTest, HungHostIsKilledThroughItsWatchAndRelaunchedAsAHang) {
  startHost(300, "stuck");
  fake_.hangs.cpu[300] = {{300, 1.0}, {301, 2.0}};
  const HostThreadSnapshot spinning{
      300, "Host", "running", std::nullopt, 25.0, std::nullopt, {}, {"spin() (a.cc:3)"}};
  const HostThreadSnapshot waiting{
      301, "io", "sleeping", "futex_wait_queue", 2.0, std::nullopt, {}, {}};
  fake_.hangs.answer = {{spinning, waiting}, "unwound"};
  auto supervisor = start();
  fake_.loop.advance(45);
  EXPECT_THAT(fake_.loop.signalsSent(), IsEmpty());
  // Sampled once, at the first tick past half the limit.
  EXPECT_THAT(fake_.hangs.samples, ElementsAre(std::pair<int32_t, double>{300, 24}));
  fake_.loop.advance(3);  // the 3 s tick after 45 s of silence
  EXPECT_THAT(fake_.loop.signalsSent(), ElementsAre(FakeMainLoop::Signal{300, SIGKILL}));
  ASSERT_EQ(fake_.hangs.requests.size(), 1u);
  EXPECT_EQ(fake_.hangs.requests[0].signalsBefore, 0u) << "the snapshot comes before the signal";
  EXPECT_EQ(fake_.hangs.requests[0].budget, 0.5);
  EXPECT_THAT(fake_.probes.kills, IsEmpty());
  EXPECT_EQ(supervisor->hangKillIssuedFor(), "stuck");
  fake_.loop.runDue();
  const std::string summary = "main thread spinning in user space in spin() (a.cc:3) for 48 s";
  EXPECT_THAT(messages(),
              ElementsAre("Watching " + kBundle,
                          "Host heartbeat stopped; ending pid 300 so it can be relaunched",
                          "Hung host pid 300: " + summary,
                          "Host ended unexpectedly (hang); relaunching"));
  const auto report = WatchdogStore::read<WatchdogHangReport>(files().hangReportPath());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->launchID, "stuck");
  EXPECT_EQ(report->sampleSeconds, 24);
  EXPECT_EQ(report->threads[1].cpuSinceSample, 0);
  EXPECT_EQ(report->summary, summary);
  ASSERT_EQ(fake_.log.fields.size(), 1u);
  EXPECT_THAT(fake_.log.fields[0], ::testing::Contains(std::pair<std::string, std::string>(
                                       "THREAD_STATES",
                                       "300 Host: running, 25.0 s CPU (24.0 s since the sample)\n"
                                       "301 io: sleeping in futex_wait_queue, 2.0 s CPU (0 ms "
                                       "since the sample)\n")));
  fake_.loop.advance(1);
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered));
}

TEST(HangDiagnosis, SummaryNamesTwoOtherSpinningThreadsAndCountsTheRest) {
  for (const int32_t others : {2, 3}) {
    WatchdogHangReport report;
    report.pid = 1;
    for (int32_t tid = 1; tid <= others + 1; ++tid) {
      report.threads.push_back({tid, "t", "running", std::nullopt, 1, std::nullopt, {}, {"f"}});
    }
    const std::string text = HangDiagnosis::summary(report);
    EXPECT_EQ(text.ends_with("; 1 more threads spinning"), others == 3) << text;
    EXPECT_EQ(text.find("more threads") != std::string::npos, others == 3) << text;
  }
}

TEST_F(SupervisorTest, FailedTicksKeepTheChainAndNoTimerMeansExitNonZero) {
  startHost(300, "stuck");
  auto supervisor = start();
  fake_.probes.failingCalls = 5;
  fake_.loop.advance(60);
  EXPECT_THAT(fake_.loop.signalsSent(), ElementsAre(FakeMainLoop::Signal{300, SIGKILL}));
  fake_.loop.runDue();
  fake_.probes.failingCalls = 1;  // the tick that judges the kill's exit
  fake_.loop.advance(10);
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered));

  fake_.loop.timersFail = true;
  fake_.loop.advance(3);
  EXPECT_EQ(fake_.loop.exitStatus(), 1);
  EXPECT_EQ(messages().back(), "Cannot arm the next tick; exiting");
}

TEST_F(SupervisorTest, SecondWatchdogOfTheFolderWaitsAndTakesOverWhenTheFirstStops) {
  startHost(300, "a");
  auto first = start();
  auto second = start();
  crash(300);
  fake_.loop.advance(10);
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered));
  const std::vector<std::string> lines = messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Another watchdog is watching " + kBundle + "; waiting until it stops"),
            1);

  first.reset();
  fake_.loop.advance(2);
  crash(500);
  fake_.loop.advance(2);
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered, kRecovered));
  EXPECT_EQ(second->ledger().relaunches, 2);  // the first one's count taken over
}

TEST_F(SupervisorTest, EarlyCpuSampleOnlyForASuspectedHost) {
  const struct {
    const char* name;
    bool curtainUp;
    std::vector<std::pair<double, double>> beating;  // from, until
    double runFor;
    std::vector<double> sampledAt;
  } cases[] = {
      {"healthy host: never", false, {{0, 1000}}, 200, {}},
      {"curtain up: past 3 s of silence", true, {}, 10, {4}},
      {"silent, beating again, silent again: once per silence", false, {{0, 30}, {60, 70}}, 120,
       {54, 93}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    installIn(fake);
    fake.probes.processes[300] = kHostExecutable;
    HostRunRecord r = record(300, "run");
    r.curtainUp = c.curtainUp;
    r.heartbeatUptime = fake.probes.uptime();
    ASSERT_TRUE(WatchdogStore::write(r, files().hostRecordPath()));
    auto supervisor = WatchdogSupervisor::create(kHelper, fake.platform());
    supervisor->run();
    for (double t = 0; t < c.runFor; t += 1) {
      for (const auto& [from, until] : c.beating) {
        if (t < from || t >= until) continue;
        r.heartbeatUptime = fake.probes.uptime();
        ASSERT_TRUE(WatchdogStore::write(r, files().hostRecordPath()));
      }
      fake.loop.advance(1);
    }
    std::vector<double> sampledAt;
    for (const auto& [pid, at] : fake.hangs.samples) sampledAt.push_back(at);
    EXPECT_EQ(sampledAt, c.sampledAt);
  }
}

TEST_F(SupervisorTest, SnapshotThatOutrunsItsBudgetDoesNotHoldTheSignalBack) {
  startHost(300, "stuck", /*curtainUp=*/true);
  fake_.hangs.answerAtOnce = false;
  relaunchedHostStarts_ = false;
  auto supervisor = start();
  fake_.loop.advance(7);  // judged at 7 s
  ASSERT_EQ(fake_.hangs.requests.size(), 1u);
  EXPECT_THAT(fake_.loop.signalsSent(), IsEmpty());
  fake_.loop.advance(0.499);
  EXPECT_THAT(fake_.loop.signalsSent(), IsEmpty());
  fake_.loop.advance(0.001);
  EXPECT_THAT(fake_.loop.signalsSent(), ElementsAre(FakeMainLoop::Signal{300, SIGKILL}));
  fake_.hangs.complete({});  // too late: ignored
  fake_.loop.runDue();
  EXPECT_EQ(fake_.loop.signalsSent().size(), 1u);
  const auto report = WatchdogStore::read<WatchdogHangReport>(files().hangReportPath());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->snapshotSeconds, 0.5);
  EXPECT_EQ(report->stacks, "the snapshot did not finish within its time");

  // A host that ends by itself during the snapshot is not signalled at all.
  startHost(301, "stuck-too", /*curtainUp=*/true);
  fake_.loop.advance(7);  // judged 7 s later
  ASSERT_EQ(fake_.hangs.requests.size(), 2u);
  EXPECT_EQ(fake_.loop.signalsSent().size(), 1u);
  crash(301);
  fake_.hangs.complete({});
  EXPECT_EQ(fake_.loop.signalsSent().size(), 1u);
  EXPECT_EQ(WatchdogStore::read<WatchdogHangReport>(files().hangReportPath())->pid, 301);
}

TEST_F(SupervisorTest, TracedHostAndARecordNamingTheWatchdogAreNeverSignalled) {
  for (const bool traced : {true, false}) {
    SCOPED_TRACE(traced ? "traced" : "the watchdog itself");
    FakePlatform fake;
    installIn(fake);
    const int32_t pid = traced ? 300 : fake.probes.ownProcess;
    fake.probes.processes[pid] = traced ? kHostExecutable : kHelper;
    if (traced) fake.probes.traced.insert(pid);
    HostRunRecord r = record(pid, "silent");
    r.executablePath = fake.probes.processes[pid];
    write(r);
    auto supervisor = WatchdogSupervisor::create(kHelper, fake.platform());
    supervisor->run();
    fake.loop.advance(600);
    EXPECT_THAT(fake.loop.signalsSent(), IsEmpty());
    EXPECT_THAT(fake.probes.kills, IsEmpty());
    EXPECT_EQ(supervisor->hangKillIssuedFor(), traced ? std::nullopt : std::optional("silent"));
  }
}

TEST_F(SupervisorTest, ThirdCrashInFiveMinutesLaunchesSafeModeOnceThenStops) {
  startHost(300, "run-0");
  auto supervisor = start();
  for (int i = 0; i < 4; ++i) {
    fake_.loop.advance(10);
    crash(supervisor->watchedPID());
    fake_.loop.advance(3);
  }
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered, kRecovered, kSafeMode));
  EXPECT_EQ(messages().back(), "Host ended (crash) while stopped after repeated crashes; not relaunching");
  EXPECT_EQ(messages()[3], "Host ended unexpectedly (crash) again; stopping after repeated crashes");
  EXPECT_TRUE(ledgerOnDisk()->stoppedAt.has_value());
  fake_.loop.advance(600);
  EXPECT_EQ(launchedArguments_.size(), 3u);
}

TEST_F(SupervisorTest, CleanExitIsNotRelaunched) {
  startHost(300, "quits");
  auto supervisor = start();
  HostRunRecord r = record(300, "quits");
  r.cleanExit = true;
  write(r);
  crash(300);
  fake_.loop.advance(30);
  EXPECT_THAT(fake_.workspace.opens, IsEmpty());
  EXPECT_EQ(fake_.workspace.scans, 0);  // not a crash candidate
  EXPECT_EQ(messages().size(), 1u);
}

TEST_F(SupervisorTest, FailedOpeningsAreRetriedTwiceThenGivenUp) {
  fake_.workspace.openErrors = {"no such file", "no such file", "no such file"};
  startHost(300, "a");
  auto supervisor = start();
  crash(300);
  fake_.loop.advance(17.9);
  EXPECT_TRUE(supervisor->launchInFlight());
  fake_.loop.advance(0.2);  // about 18 s after the call
  EXPECT_FALSE(supervisor->launchInFlight());
  std::vector<double> times;
  for (const auto& open : fake_.workspace.opens) times.push_back(open.at);
  EXPECT_THAT(times, ElementsAre(1.0, 7.0, 13.0));
  const std::vector<std::string> lines = messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Relaunch failed: no such file"), 3);
}

TEST_F(SupervisorTest, RelaunchDecidedBeforeARestartIsCarriedOutOnceByTheNextWatchdog) {
  struct Case {
    const char* name;
    int crashes;       // the last one is judged just before the restart
    double stopAfter;  // seconds after that judgement
    std::function<void(SupervisorTest&)> meanwhile;
    std::vector<std::vector<std::string>> launched;  // after the restart
  };
  auto failOpening = [](SupervisorTest& t) { t.fake_.workspace.openErrors = {"busy"}; };
  const Case cases[] = {
      {"in the launch delay", 1, 0.5, nullptr, {kRecovered}},
      {"waiting to retry", 1, 3, failOpening, {kRecovered}},
      {"safe mode", 3, 0.5, nullptr, {kSafeMode}},
      {"host runs again", 1, 0.5, [](SupervisorTest& t) { t.startHost(400, "by hand"); }, {}},
      {"machine restarted", 1, 0.5, [](SupervisorTest& t) { t.fake_.probes.boot = "boot-2"; }, {}},
      // The relaunched host died before writing its record: not launched again.
      {"opened already", 1, 1.5, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(files().directory);
    fake_.probes.boot = "boot-1";
    relaunchedHostStarts_ = false;
    startHost(300, "first");
    auto supervisor = start();
    for (int i = 1; i <= c.crashes; ++i) {
      if (i > 1) startHost(300 + i, "crash " + std::to_string(i));
      fake_.loop.advance(3);
      crash(supervisor->watchedPID());
      if (i < c.crashes) fake_.loop.advance(1);
    }
    if (c.meanwhile) c.meanwhile(*this);
    fake_.loop.advance(c.stopAfter);
    supervisor.reset();
    const size_t before = launchedArguments_.size();
    fake_.workspace.openErrors.clear();

    supervisor = start();
    fake_.loop.advance(30);
    const std::vector<std::vector<std::string>> after(launchedArguments_.begin() + before,
                                                      launchedArguments_.end());
    EXPECT_EQ(after, c.launched);
    EXPECT_EQ(supervisor->ledger().relaunches,
              c.name == std::string("machine restarted") ? 0 : c.crashes);
    EXPECT_EQ(ledgerOnDisk()->pendingRelaunch, std::nullopt);
    supervisor.reset();
    fake_.probes.processes.clear();
    launchedArguments_.clear();
  }
}

TEST_F(SupervisorTest, ExitWatchTickLeavesAPendingRetryAlone) {
  fake_.workspace.openErrors = {"busy"};
  relaunchedHostStarts_ = false;
  startHost(300, "a");
  auto supervisor = start();
  crash(300);
  fake_.loop.advance(1);  // the first opening fails; a retry is due at 6 s
  startHost(301, "b");    // started by hand meanwhile, then it crashes too
  fake_.loop.advance(2);
  ASSERT_EQ(supervisor->watchedPID(), 301);
  crash(301);
  EXPECT_EQ(fake_.loop.pendingTimers(), 1u);
  fake_.loop.advance(5);
  EXPECT_EQ(fake_.workspace.opens.size(), 2u);
}

TEST_F(SupervisorTest, LaunchIsSkippedOnlyWhenTheHostRunsFromThisBundle) {
  struct Case {
    const char* name;
    std::vector<RunningApplication> running;
    bool opens;
    // Processes running the recorded program, as behind a wrapper script.
    std::vector<RunningApplication> program = {};
  };
  const Case cases[] = {
      {"nothing runs", {}, true},
      {"terminated", {{9, true, kBundle}}, true},
      {"no bundle location", {{9, false, std::nullopt}}, true},
      {"another copy", {{9, false, "/Other/Host.app"}}, true},
      {"this bundle, unnormalised", {{9, false, kBundle + "/./"}}, false},
      {"left behind in the ended run's group", {{9, false, kBundle, 300, 1}}, true},
      {"left behind in the ended run's session", {{9, false, kBundle, 9, 300}}, true},
      {"the recorded program", {}, false, {{9, false, std::nullopt}}},
      {"the recorded program, left behind", {}, true, {{9, false, std::nullopt, 300, 1}}},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    installIn(fake);
    fs::remove_all(files().directory);
    fake.probes.processes[300] = kHostExecutable;
    write(record(300, std::string("run ") + c.name));
    auto supervisor = WatchdogSupervisor::create(kHelper, fake.platform());
    supervisor->run();
    fake.probes.processes.erase(300);
    // Appears only after the crash judgement, so it does not defer it.
    fake.loop.endProcess(300);
    fake.loop.runDue();
    fake.workspace.applications[kIdentifier] = c.running;
    fake.workspace.programs[kHostExecutable] = c.program;
    fake.loop.advance(1);
    EXPECT_EQ(fake.workspace.opens.size(), c.opens ? 1u : 0u) << c.name;
    EXPECT_FALSE(supervisor->launchInFlight()) << c.name;
  }
}

TEST_F(SupervisorTest, AnotherInstanceFromThisBundleDefersTheJudgement) {
  startHost(300, "a");
  auto supervisor = start();
  fake_.workspace.applications[kIdentifier] = {{301, false, kBundle}};
  crash(300);
  fake_.loop.advance(10);
  EXPECT_THAT(fake_.workspace.opens, IsEmpty());
  EXPECT_EQ(supervisor->ledger().handledLaunchID, std::nullopt);
  fake_.workspace.applications.clear();
  fake_.loop.advance(2);
  EXPECT_EQ(supervisor->ledger().handledLaunchID, "a");
}

TEST_F(SupervisorTest, AnotherUnicodeFormOfTheBundlePathIsAnotherCopy) {
  // Two folders on Linux: copy B runs, at the pid that copy A's crashed host had.
  const std::string a = "/Applications/Caf\xC3\xA9.app", b = "/Applications/Cafe\xCC\x81.app";
  fake_.bundles.bundles[a] = {kIdentifier, "Host"};
  const WatchdogFiles filesOfA = WatchdogFiles::forBundle(root_, kIdentifier, a);
  HostRunRecord crashed = record(300, "a");
  crashed.executablePath = a + "/Contents/MacOS/Host";
  ASSERT_TRUE(WatchdogStore::write(crashed, filesOfA.hostRecordPath()));
  fake_.probes.processes[300] = b + "/Contents/MacOS/Host";
  fake_.workspace.applications[kIdentifier] = {{300, false, b}};
  auto supervisor =
      WatchdogSupervisor::create(a + "/Contents/MacOS/VeldaneWatchdog", fake_.platform());
  supervisor->run();
  fake_.loop.advance(1);
  EXPECT_THAT(fake_.workspace.opens, ElementsAre(FakeWorkspace::Open{a, kRecovered, 1.0}));
}

TEST_F(SupervisorTest, HangNoteForTheEndedRunMakesItAHang) {
  startHost(300, "noted");
  auto supervisor = start();
  HostHangNote note{"noted", std::chrono::floor<std::chrono::seconds>(fake_.probes.now()), 12};
  ASSERT_TRUE(WatchdogStore::write(note, files().hangNotePath()));
  crash(300);
  EXPECT_EQ(messages().back(), "Host ended unexpectedly (hang); relaunching");
}

TEST_F(SupervisorTest, PowerOffStopsDecisionsAndPendingLaunchesButNotTicks) {
  startHost(300, "a");
  auto supervisor = start();
  crash(300);
  fake_.loop.announcePowerOff();
  fake_.loop.runDue();
  EXPECT_TRUE(supervisor->shuttingDown());
  fake_.loop.advance(1);
  EXPECT_THAT(fake_.workspace.opens, IsEmpty());
  EXPECT_FALSE(supervisor->launchInFlight());
  int ticks = fake_.probes.calls["fileIdentity"];
  fake_.loop.advance(20);
  EXPECT_EQ(fake_.probes.calls["fileIdentity"], ticks + 10);
}

TEST_F(SupervisorTest, ReplacedHelperExitsWithStatusZeroBeforeReadingTheRecord) {
  startHost(300, "a");
  auto supervisor = start();
  fake_.probes.files.erase(kHelper);  // being replaced: no update seen yet
  fake_.loop.advance(3);
  EXPECT_EQ(fake_.loop.exitStatus(), std::nullopt);
  fake_.probes.files[kHelper] = FileIdentity{7, 1235, 1'700'000'000};
  fake_.probes.processes.clear();  // a crash now must not be judged
  fake_.loop.advance(3);
  EXPECT_EQ(fake_.loop.exitStatus(), 0);
  EXPECT_EQ(messages().back(), "Helper was updated; exiting so launchd starts the new version");
  EXPECT_EQ(fake_.log.lines.back().level, LogLevel::standard);
  EXPECT_EQ(supervisor->ledger().handledLaunchID, std::nullopt);
}

TEST_F(SupervisorTest, ReusedPidIsNotAliveAndDropsTheWatch) {
  relaunchedHostStarts_ = false;
  startHost(300, "a");
  auto supervisor = start();
  EXPECT_TRUE(fake_.loop.watching(300));
  fake_.probes.processes[300] = "/usr/bin/other";  // a stranger now: never signalled
  fake_.loop.advance(60);
  EXPECT_THAT(fake_.loop.signalsSent(), IsEmpty());
  EXPECT_THAT(fake_.probes.kills, IsEmpty());
  EXPECT_FALSE(fake_.loop.watching(300));
  EXPECT_EQ(supervisor->watchedPID(), 0);
  EXPECT_EQ(messages().back(), "Host ended unexpectedly (crash); relaunching");
}

TEST_F(SupervisorTest, ProcessOfAnotherUserIsNeverTakenForTheHost) {
  // A stale record whose pid another user's copy of the host now runs.
  startHost(300, "a");
  HostRunRecord stale = record(300, "a");
  stale.heartbeatUptime -= 100;
  write(stale);
  fake_.probes.otherUsers.insert(300);
  auto supervisor = start();
  fake_.loop.advance(2);
  EXPECT_FALSE(fake_.loop.watching(300));
  EXPECT_THAT(fake_.loop.signalsSent(), IsEmpty());
  EXPECT_THAT(fake_.probes.kills, IsEmpty());
  EXPECT_THAT(messages(),
              ElementsAre("Watching " + kBundle, "Host ended unexpectedly (crash); relaunching"));
}

TEST_F(SupervisorTest, LedgerIsWrittenOnlyWhenItChangesAndRetriedUntilItLands) {
  startHost(300, "a");
  auto supervisor = start();
  ASSERT_TRUE(ledgerOnDisk());
  fs::remove(files().ledgerPath());
  fake_.loop.advance(30);
  EXPECT_FALSE(fs::exists(files().ledgerPath()));

  fs::create_directories(files().ledgerPath() / "in the way");
  crash(300);
  fake_.loop.advance(1.5);  // judged and relaunched, neither written
  EXPECT_THAT(launchedArguments_, ElementsAre(kRecovered));
  fs::remove_all(files().ledgerPath());
  fake_.loop.advance(2);
  ASSERT_TRUE(ledgerOnDisk());
  EXPECT_EQ(ledgerOnDisk()->handledLaunchID, "a");
  EXPECT_EQ(ledgerOnDisk()->relaunches, 1);
}

TEST_F(SupervisorTest, StartRemovesWhatInterruptedWritesLeft) {
  const fs::path folder = files().directory;
  fs::create_directories(folder);
  const char* removed[] = {".watchdog.json.a1B2c3", ".host.json.old123", ".hang.json.old456"};
  const char* kept[] = {".host.json.new789", ".watchdog.json.toolong", "watchdog.json.x1y2z3"};
  for (const char* name : removed) std::ofstream(folder / name) << "{";
  for (const char* name : kept) std::ofstream(folder / name) << "{";
  for (const char* old : {".host.json.old123", ".hang.json.old456"}) {
    fs::last_write_time(folder / old, fs::file_time_type::clock::now() - std::chrono::minutes(2));
  }
  auto supervisor = start();
  for (const char* name : removed) EXPECT_FALSE(fs::exists(folder / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(fs::exists(folder / name)) << name;
}

TEST_F(SupervisorTest, CallbacksDoNothingOnceTheSupervisorIsGone) {
  startHost(300, "a");
  auto supervisor = start();
  crash(300);
  supervisor.reset();
  fake_.loop.advance(30);
  EXPECT_THAT(fake_.workspace.opens, IsEmpty());
  EXPECT_EQ(fake_.probes.calls["fileIdentity"], 3);
}

}  // namespace
}  // namespace veldane
