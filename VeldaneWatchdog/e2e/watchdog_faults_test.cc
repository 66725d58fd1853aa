// The built watchdog under faults: a data folder it cannot write, a host.json
// that is no record, life as a namespace's init, the watchdog killed while it
// writes its ledger, and a hung host whose plug-in lives on a file system
// that stopped answering.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"
#include "state/watchdog_hang_report.h"

namespace veldane::e2e {
namespace {

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

const std::set<std::string> kDataFiles{"host.json", "watchdog.json", "watchdog.lock"};

using WatchdogFaults = WatchdogHarness;

// A full data folder is the same case: every write fails.
TEST_F(WatchdogFaults, ReadOnlyDataFolderKeepsTheOldLedgerAndStillRelaunches) {
  // A mount namespace of this test's own, shared by all it spawns, with a
  // tmpfs as the data folder's parent.
  const fs::path mountPoint = files_.directory().parent_path();
  fs::create_directories(mountPoint);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "mode=0700") != 0) {
    GTEST_SKIP() << "no private tmpfs: " << std::strerror(errno);
  }
  auto remount = [&](unsigned long flags) {
    ASSERT_EQ(mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | flags, nullptr), 0)
        << std::strerror(errno);
  };
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const pid_t first = startHost();
  ASSERT_TRUE(recordOf(first));
  const std::string before = contents(files_.ledgerPath());

  remount(MS_RDONLY);
  crash(first);
  ASSERT_TRUE(launchesReach(2, 10s)) << "the crash was not relaunched";
  EXPECT_EQ(contents(files_.ledgerPath()), before);
  EXPECT_EQ(entries(files_.directory()), kDataFiles);

  // Writable again: the next crash is written with both counted.
  remount(0);
  const std::optional<HostRunRecord> second = recordOf(launches()[1].pid);
  ASSERT_TRUE(second) << "the relaunched host never wrote its record";
  crash(second->pid);
  ASSERT_TRUE(judged(*second)) << "the later crash was never written";
  EXPECT_EQ(ledger()->relaunches, 2);
  EXPECT_EQ(ledger()->unexpectedExits.size(), 2u);
  EXPECT_EQ(waitExit(watchdog, 0s), -1) << "the watchdog ended";
}

TEST_F(WatchdogFaults, HostFileThatIsAFifoReadsAsAbsentUntilARecordReturns) {
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const std::optional<HostRunRecord> record = recordOf(startHost());
  ASSERT_TRUE(record);
  // Stopped, the host cannot write over the FIFO; then it dies unseen.
  ASSERT_EQ(kill(record->pid, SIGSTOP), 0);
  ASSERT_TRUE(waitFor([&] { return facts(record->pid).state == 'T'; }));
  fs::remove(files_.hostRecordPath());
  ASSERT_EQ(mkfifo(files_.hostRecordPath().c_str(), 0600), 0);
  crash(record->pid);
  EXPECT_FALSE(launchesReach(2, 2s)) << "a crash was judged without a record";
  EXPECT_EQ(waitExit(watchdog, 0s), -1) << "the watchdog ended";

  fs::remove(files_.hostRecordPath());
  ASSERT_TRUE(WatchdogStore::write(*record, files_.hostRecordPath()));
  ASSERT_TRUE(launchesReach(2, 10s)) << "the restored record was not judged";
  EXPECT_TRUE(judged(*record));
}

// A record naming a stranger is judged ended (the supervisor's test shows it
// never signalled); here the relaunches of such a run, as pid 1 of a
// namespace, which must reap the hosts that end.
TEST_F(WatchdogFaults, AsPidOneOfANamespaceItReapsTheHostsThatEnd) {
  const pid_t unshare =
      startWatching({"/usr/bin/unshare", "--pid", "--mount-proc", "--kill-child"});
  const std::vector<pid_t> inside = childrenOf(unshare);
  ASSERT_EQ(inside.size(), 1u);
  // Silent since boot with the curtain up: were pid 99999 judged alive, it
  // would be ended at once. The host is launched, and ends at once, as the
  // test is not in its namespace; each start is handed to the watchdog, its init.
  HostRunRecord stale;
  stale.pid = 99999;
  stale.launchID = "stale";
  stale.bootSession = *ledger()->bootSession;
  stale.executablePath = (macOS_ / "Host").string();
  stale.startedAt = stale.heartbeatAt = std::chrono::system_clock::now();
  stale.curtainUp = true;
  ASSERT_TRUE(WatchdogStore::write(stale, files_.hostRecordPath()));
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_EQ(launches()[0].arguments, kRecovered);
  EXPECT_TRUE(waitFor(
      [&] {
        return std::ranges::none_of(childrenOf(inside[0]),
                                    [](pid_t child) { return facts(child).state == 'Z'; });
      },
      3s))
      << "an ended host is left a zombie";
}

// An updater moves the running bundle aside and puts the new version in its
// place; the new watchdog finds the host running from the old one.
TEST_F(WatchdogFaults, UpdateThatMovesTheBundleAsideKeepsTheRunningHostWithoutASecondCopy) {
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const pid_t host = startHost();
  const std::optional<HostRunRecord> first = recordOf(host);
  ASSERT_TRUE(first);
  ASSERT_TRUE(waitFor([&] {
    return WatchdogStore::read<HostRunRecord>(files_.hostRecordPath())->heartbeatUptime >
           first->heartbeatUptime;
  }));
  const fs::path bundle = root_ / "Test.app", old = root_ / "Test.app.old";
  fs::rename(bundle, old);
  fs::copy(old, bundle, fs::copy_options::recursive);
  EXPECT_EQ(waitExit(watchdog), 0) << "the old watchdog did not see its file replaced";

  startWatching();
  EXPECT_FALSE(launchesReach(2, 4s)) << "a second copy was launched";
  EXPECT_EQ(ledger()->relaunches, 0);
  // Still the host: watched until it ends, then relaunched from the new bundle.
  crash(host);
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_EQ(launches()[1].arguments, kRecovered);
}

// Started from this test, as from a script: the host leads no process group or
// session, and neither does the worker it forks and leaves behind.
TEST_F(WatchdogFaults, WorkerLeftByAHostWithoutAGroupOfItsOwnDoesNotBlockTheRelaunch) {
  writePlan({"crash 3 fork", "run"});
  startWatching();
  const pid_t host = startHost();
  ASSERT_NE(facts(host).group, host);
  ASSERT_TRUE(launchesReach(2, 10s)) << "the worker was taken for another instance";
  EXPECT_EQ(launches()[1].arguments, kRecovered);
}

TEST_F(WatchdogFaults, KilledWhileWritingTheLedgerNeverCountsAnExitTwice) {
  constexpr int kRounds = 8;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Every run lifts a crash-loop stop, so that every crash counts.
  writePlan({"reset"});
  pid_t watchdog = startWatching();
  startHost();
  for (int crashes = 1; crashes <= kRounds; ++crashes) {
    SCOPED_TRACE("crash " + std::to_string(crashes));
    ASSERT_TRUE(launchesReach(crashes));
    const std::optional<HostRunRecord> record = recordOf(launches()[crashes - 1].pid, true);
    ASSERT_TRUE(record) << "the host never lifted the stop";
    crash(record->pid);
    // Mostly within the few milliseconds of the judgement and its write, now
    // and then after the relaunch.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(random() % 4 == 0 ? 1500 + random() % 500 : random() % 25));
    crash(watchdog);
    const std::optional<WatchdogLedger> left = ledger();
    ASSERT_TRUE(left) << "the ledger does not read back whole";
    ASSERT_EQ(left->relaunches, crashes - (left->handledLaunchID == record->launchID ? 0 : 1));

    watchdog = spawn({watchdog_.string()});
    ASSERT_TRUE(judged(*record)) << "the crash was never judged";
    EXPECT_EQ(ledger()->relaunches, crashes);
    // Judged by the restarted watchdog, or before the kill with the relaunch
    // pending: either way the host comes back.
    ASSERT_TRUE(launchesReach(crashes + 1, 10s)) << "the restarted watchdog did not relaunch";
  }
  EXPECT_FALSE(launchesReach(kRounds + 2, 2s)) << "an exit was relaunched twice";
  // A kill between a write's temporary file and its rename leaves that file,
  // which the next watchdog removes.
  EXPECT_EQ(entries(files_.directory()), kDataFiles);
}

// The stacks helper must not touch the plug-in's file while it holds the
// host stopped: its open would never return, nor could the helper then die.
// Nor may the watchdog wait for a helper stuck like that.
TEST_F(WatchdogFaults, HostWithAPluginOnAFileSystemThatStoppedAnsweringIsStillKilled) {
  for (const bool stuckHelper : {false, true}) {
    SCOPED_TRACE(stuckHelper ? "a helper stuck on the share" : "the helper");
    // A backslash, which the mount table writes as an octal escape, and which
    // LD_PRELOAD takes as it is.
    const fs::path share = root_ / "share\\1";
    fs::create_directories(share);
    const pid_t server = spawn({VELDANE_E2E_STALLING_FS, VELDANE_E2E_PLUGIN, share.string()});
    if (!waitFor([&] { return fs::exists(share / "plugin.so"); }, 5s)) {
      GTEST_SKIP() << "no FUSE here";
    }
    const fs::path helper = macOS_ / "veldane-hang-stacks";
    fs::remove(helper);
    if (stuckHelper) {
      std::ofstream(helper) << "#!/bin/sh\nexec cat '" << (share / "plugin.so").string() << "'\n";
      fs::permissions(helper, fs::perms::owner_all);
    } else {
      fs::copy_file(VELDANE_E2E_HANG_STACKS, helper);
    }
    // The demo host, which waits in the plug-in before it writes its record:
    // the test writes one for it.
    const fs::path ready = root_ / "ready";
    fs::remove(ready);
    setenv("LD_PRELOAD", (share / "plugin.so").c_str(), 1);
    setenv("VELDANE_E2E_PLUGIN_READY", ready.c_str(), 1);
    const pid_t host = startHost();
    unsetenv("LD_PRELOAD");
    unsetenv("VELDANE_E2E_PLUGIN_READY");
    ASSERT_TRUE(waitFor([&] { return fs::exists(ready); }, 5s));
    HostRunRecord record;
    record.pid = host;
    record.launchID = "plugin-run";
    record.bootSession = contents("/proc/sys/kernel/random/boot_id").substr(0, 36);
    record.executablePath = (macOS_ / "Host").string();
    record.startedAt = record.heartbeatAt = std::chrono::floor<std::chrono::seconds>(
        std::chrono::system_clock::now() - 100s);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    record.heartbeatUptime = static_cast<double>(now.tv_sec) - 100;
    record.curtainUp = true;
    ASSERT_TRUE(WatchdogStore::write(record, files_.hostRecordPath()));
    // From now on every request to the share waits for good.
    EXPECT_FALSE(fs::exists(share / "stall"));

    startWatching();
    EXPECT_TRUE(testing::KilledBySignal(SIGKILL)(waitExit(host, 10s)))
        << "the hung host was not ended";
    // Still ticking: the ended run is judged.
    EXPECT_TRUE(waitFor([&] { return ledger().value().handledLaunchID == "plugin-run"; }, 10s));
    const auto report = WatchdogStore::read<WatchdogHangReport>(files_.hangReportPath(),
                                                                WatchdogStore::kMaxReportSize);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->pid, host);
    ASSERT_FALSE(report->threads.empty());
    EXPECT_EQ(report->threads[0].stack.empty(), stuckHelper) << report->stacks;
    // The server's end lets go whatever still waits on it.
    kill(server, SIGKILL);
    endProcesses();
    umount2(share.c_str(), MNT_DETACH);
  }
}

}  // namespace
}  // namespace veldane::e2e
