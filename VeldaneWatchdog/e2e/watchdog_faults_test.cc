// The built watchdog under faults: a data folder it cannot write, a host.json
// that is no record, life as a namespace's init, and the watchdog killed
// while it writes its ledger.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class WatchdogFaults : public WatchdogHarness {
 protected:
  void TearDown() override {
    // The processes first: they hold the private mount namespace.
    endProcesses();
    if (!mountPoint_.empty()) umount2(mountPoint_.c_str(), MNT_DETACH);
    if (outerNamespace_ >= 0) {
      setns(outerNamespace_, CLONE_NEWNS);
      close(outerNamespace_);
    }
    WatchdogHarness::TearDown();
  }

  // Gives this test a mount namespace of its own with a tmpfs as the data
  // folder's parent; everything spawned afterwards shares it. Empty, or why
  // the system refused.
  std::string mountDataFolder() {
    mountPoint_ = files_.directory.parent_path();
    fs::create_directories(mountPoint_);
    outerNamespace_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (outerNamespace_ < 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mountPoint_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0) {
      return std::string("no private tmpfs: ") + std::strerror(errno);
    }
    return "";
  }

  void remount(unsigned long flags) const {
    ASSERT_EQ(mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | flags, nullptr), 0)
        << std::strerror(errno);
  }

  // The host's record once it names `pid` (and, with `reset`, its crash-loop reset).
  std::optional<HostRunRecord> recordOf(pid_t pid, bool reset = false) const {
    std::optional<HostRunRecord> record;
    const bool named = waitFor([&] {
      record = hostRecord();
      return record && record->pid == pid && (!reset || record->crashLoopResetAt);
    });
    return named ? record : std::nullopt;
  }

  // Waits for the on-disk ledger to satisfy `check`; gives the last one read.
  std::optional<WatchdogLedger> ledgerOnceIt(
      const std::function<bool(const WatchdogLedger&)>& check) const {
    std::optional<WatchdogLedger> book;
    waitFor([&] { return (book = ledger()) && check(*book); });
    return book;
  }

  bool judged(const HostRunRecord& run) const {
    auto book = ledgerOnceIt([&](const WatchdogLedger& l) { return l.handledLaunchID == run.launchID; });
    return book && book->handledLaunchID == run.launchID;
  }

  void crash(pid_t host) const {
    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_TRUE(waitExit(host));
  }

  fs::path mountPoint_;
  int outerNamespace_ = -1;
};

// A full data folder is the same case: every write fails.
TEST_F(WatchdogFaults, ReadOnlyDataFolderKeepsTheOldLedgerAndStillRelaunches) {
  if (std::string why = mountDataFolder(); !why.empty()) GTEST_SKIP() << why;
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const pid_t first = startHost();
  ASSERT_TRUE(recordOf(first));
  const std::string before = contents(files_.ledgerPath());

  remount(MS_RDONLY);
  crash(first);
  ASSERT_TRUE(launchesReach(2, 10s)) << "the crash was not relaunched";
  EXPECT_EQ(contents(files_.ledgerPath()), before);
  EXPECT_EQ(entries(files_.directory),
            (std::set<std::string>{"host.json", "watchdog.json", "watchdog.lock"}));

  // Writable again: the next crash is written with both counted.
  remount(0);
  const std::optional<HostRunRecord> second = recordOf(launches()[1].pid);
  ASSERT_TRUE(second) << "the relaunched host never wrote its record";
  crash(second->pid);
  ASSERT_TRUE(judged(*second)) << "the later crash was never written";
  EXPECT_EQ(ledger()->relaunches, 2);
  EXPECT_EQ(ledger()->unexpectedExits.size(), 2u);
  EXPECT_TRUE(running(watchdog));
}

TEST_F(WatchdogFaults, HostFileThatIsAFifoReadsAsAbsentUntilARecordReturns) {
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const std::optional<HostRunRecord> record = recordOf(startHost());
  ASSERT_TRUE(record);
  // Stopped, the host cannot write over the FIFO; then it dies unseen.
  ASSERT_EQ(kill(record->pid, SIGSTOP), 0);
  ASSERT_TRUE(waitFor([&] { return facts(record->pid)->state == 'T'; }));
  fs::remove(files_.hostRecordPath());
  ASSERT_EQ(mkfifo(files_.hostRecordPath().c_str(), 0600), 0);
  crash(record->pid);
  EXPECT_FALSE(launchesReach(2, 2s)) << "a crash was judged without a record";
  EXPECT_TRUE(running(watchdog));

  fs::remove(files_.hostRecordPath());
  ASSERT_TRUE(WatchdogStore::write(*record, files_.hostRecordPath()));
  ASSERT_TRUE(launchesReach(2, 10s)) << "the restored record was not judged";
  EXPECT_TRUE(judged(*record));
}

// A record in the host's name for `pid`, silent since boot with the curtain
// up: were the process judged alive, it would be ended at once.
HostRunRecord staleRecord(pid_t pid, const fs::path& executable, const std::string& boot) {
  HostRunRecord record;
  record.pid = pid;
  record.launchID = "stale-" + std::to_string(pid);
  record.bootSession = boot;
  record.executablePath = executable.string();
  record.startedAt = record.heartbeatAt = std::chrono::system_clock::now();
  record.curtainUp = true;
  return record;
}

// A record naming a stranger is judged ended (the supervisor's test shows
// it never signalled); here the relaunches of such a run, as pid 1 of a
// namespace, which must reap the hosts that end.
TEST_F(WatchdogFaults, AsPidOneOfANamespaceItReapsTheHostsThatEnd) {
  const pid_t unshare =
      spawn({"/usr/bin/unshare", "--pid", "--mount-proc", "--kill-child", watchdog_.string()});
  ASSERT_TRUE(waitFor([&] { return ledger().has_value(); })) << "the watchdog never ticked";
  const std::vector<pid_t> inside = childrenOf(unshare);
  ASSERT_EQ(inside.size(), 1u);
  // The host is launched, and ends at once, as the test is not in its
  // namespace; each start is handed to the watchdog, its init.
  ASSERT_TRUE(WatchdogStore::write(staleRecord(99999, macOS_ / "Host", *ledger()->bootSession),
                                   files_.hostRecordPath()));
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_EQ(launches()[0].arguments, kRecovered);
  EXPECT_TRUE(waitFor(
      [&] {
        return std::ranges::none_of(childrenOf(inside[0]),
                                    [](pid_t child) { return facts(child)->state == 'Z'; });
      },
      3s))
      << "an ended host is left a zombie";
}

TEST_F(WatchdogFaults, KilledWhileWritingTheLedgerNeverCountsAnExitTwice) {
  constexpr int kRounds = 8;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Mostly within the few milliseconds of the judgement and its write, now
  // and then after the relaunch.
  auto delay = [&] {
    return std::chrono::milliseconds(random() % 4 == 0 ? 1500 + random() % 500 : random() % 25);
  };
  // Every run lifts a crash-loop stop, so that every crash counts.
  writePlan({"reset"});
  pid_t watchdog = startWatching();
  startHost();
  for (int crashes = 1; crashes <= kRounds; ++crashes) {
    SCOPED_TRACE("crash " + std::to_string(crashes));
    ASSERT_TRUE(launchesReach(crashes));
    const std::optional<HostRunRecord> record = recordOf(launches()[crashes - 1].pid, true);
    ASSERT_TRUE(record && ledgerOnceIt([](const WatchdogLedger& l) { return !l.stoppedAt; }))
        << "the host never lifted the stop";
    crash(record->pid);
    std::this_thread::sleep_for(delay());
    crash(watchdog);
    const std::optional<WatchdogLedger> left = ledger();
    ASSERT_TRUE(left) << "the ledger does not read back whole";
    ASSERT_EQ(left->relaunches, crashes - (left->handledLaunchID == record->launchID ? 0 : 1));

    watchdog = startWatchdog();
    ASSERT_TRUE(judged(*record)) << "the crash was never judged";
    EXPECT_EQ(ledger()->relaunches, crashes);
    // Judged by the restarted watchdog, or before the kill with the relaunch
    // pending: either way the host comes back.
    ASSERT_TRUE(launchesReach(crashes + 1, 10s)) << "the restarted watchdog did not relaunch";
  }
  EXPECT_FALSE(launchesReach(kRounds + 2, 2s)) << "an exit was relaunched twice";
  // A kill between a write's temporary file and its rename leaves that file,
  // which the next watchdog removes.
  for (const std::string& name : entries(files_.directory)) {
    EXPECT_FALSE(name.starts_with(".watchdog.json.")) << name;
  }
}

}  // namespace
}  // namespace veldane
