// The built watchdog under faults: a full, read-only or deleted data folder,
// a host.json that is no record, records naming processes that are not the
// host, a record rewritten every millisecond, and the watchdog killed while it
// writes its ledger. After each fault it must still be ticking.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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

// The clock of the host's heartbeats.
double uptime() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
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

  // Gives this test a mount namespace of its own with a 64 KiB tmpfs as the
  // data folder's parent; everything spawned afterwards shares it. Empty, or
  // why the system refused.
  std::string mountSmallDataFolder() {
    mountPoint_ = files_.directory.parent_path();
    fs::create_directories(mountPoint_);
    outerNamespace_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (outerNamespace_ < 0 || unshare(CLONE_NEWNS) != 0) {
      return std::string("no private mount namespace: ") + std::strerror(errno);
    }
    // Nothing mounted here may reach the namespace outside.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mountPoint_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0700") !=
            0) {
      return std::string("no tmpfs: ") + std::strerror(errno);
    }
    return "";
  }

  void remount(unsigned long flags) const {
    ASSERT_EQ(mount(nullptr, mountPoint_.c_str(), nullptr, MS_REMOUNT | flags, nullptr), 0)
        << std::strerror(errno);
  }

  // Fills the tmpfs up to the last page.
  void fill(const fs::path& filler) const {
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string page(4096, 'x');
    while (write(fd, page.data(), page.size()) > 0) {
    }
    const int error = errno;
    close(fd);
    ASSERT_EQ(error, ENOSPC) << std::strerror(error);
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

  // The record of the host's `launch`th start once that run has said that
  // any crash loop is over and the watchdog has lifted its stop, so that
  // the run's crash will be counted and relaunched.
  std::optional<HostRunRecord> resetRunOf(size_t launch) const {
    if (!launchesReach(launch)) return std::nullopt;
    std::optional<HostRunRecord> record = recordOf(launches()[launch - 1].pid, /*reset=*/true);
    const bool lifted = waitFor([&] {
      std::optional<WatchdogLedger> book = ledger();
      return book && !book->stoppedAt;
    });
    return lifted ? record : std::nullopt;
  }

  // Waits for the on-disk ledger to satisfy `check`; gives the last one read.
  std::optional<WatchdogLedger> ledgerOnceIt(
      const std::function<bool(const WatchdogLedger&)>& check) const {
    std::optional<WatchdogLedger> book;
    waitFor([&] {
      book = ledger();
      return book && check(*book);
    });
    return book;
  }

  // A crash while `block` keeps the watchdog from writing: the old ledger
  // stays whole and alone, the relaunch still happens, and once `unblock`
  // has run the next crash is written with both counted.
  void crashWhileLedgerCannotBeWritten(const std::function<void()>& block,
                                       const std::function<void()>& unblock) {
    writePlan({"run"});
    const pid_t watchdog = startWatching();
    const pid_t first = startHost();
    ASSERT_TRUE(recordOf(first));
    const std::string before = contents(files_.ledgerPath());

    block();
    if (HasFatalFailure()) return;
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitExit(first));
    ASSERT_TRUE(launchesReach(2, 10s)) << "the crash was not relaunched";
    EXPECT_EQ(launches()[1].arguments, kRecovered);
    EXPECT_EQ(contents(files_.ledgerPath()), before);
    EXPECT_TRUE(ledger());
    EXPECT_EQ(entries(files_.directory),
              (std::set<std::string>{"host.json", "watchdog.json", "watchdog.lock"}))
        << "a temporary file was left behind";
    EXPECT_TRUE(running(watchdog));

    unblock();
    if (HasFatalFailure()) return;
    const pid_t second = launches()[1].pid;
    const std::optional<HostRunRecord> record = recordOf(second);
    ASSERT_TRUE(record) << "the relaunched host never wrote its record";
    ASSERT_EQ(kill(second, SIGKILL), 0);
    ASSERT_TRUE(waitExit(second));
    ASSERT_TRUE(launchesReach(3, 10s));
    const std::optional<WatchdogLedger> book = ledgerOnceIt(
        [&](const WatchdogLedger& l) { return l.handledLaunchID == record->launchID; });
    ASSERT_TRUE(book) << "the later crash was never written";
    EXPECT_EQ(book->relaunches, 2);
    EXPECT_EQ(book->unexpectedExits.size(), 2u);
    EXPECT_EQ(book->lastExit, WatchdogExitKind::crash);
  }

  // A record in the host's name for `pid`, whose heartbeat has been silent
  // since boot with the curtain up: were the process judged alive, it would
  // be ended at once.
  HostRunRecord staleRecord(pid_t pid, const fs::path& executable) const {
    HostRunRecord record;
    record.pid = pid;
    record.launchID = "stale-" + std::to_string(pid);
    record.bootSession = ledger().value_or(WatchdogLedger{}).bootSession.value_or("");
    record.executablePath = executable.string();
    record.startedAt = std::chrono::system_clock::now();
    record.heartbeatAt = record.startedAt;
    record.heartbeatUptime = 0;
    record.curtainUp = true;
    return record;
  }

  // A record naming `pid`, which is not the host: judged ended, so the host
  // is relaunched as after a crash, and no kill was issued (that would have
  // made it a hang).
  void expectJudgedEndedUnsignalled(pid_t pid) {
    writePlan({"run"});
    const pid_t watchdog = startWatching();
    ASSERT_TRUE(WatchdogStore::write(staleRecord(pid, macOS_ / "Host"), files_.hostRecordPath()));
    ASSERT_TRUE(launchesReach(1, 10s)) << "the ended run was not relaunched";
    EXPECT_EQ(launches()[0].arguments, kRecovered);
    const std::optional<WatchdogLedger> book =
        ledgerOnceIt([](const WatchdogLedger& l) { return l.relaunches == 1; });
    ASSERT_TRUE(book);
    EXPECT_EQ(book->lastExit, WatchdogExitKind::crash);
    EXPECT_TRUE(running(watchdog));
  }

  fs::path mountPoint_;
  int outerNamespace_ = -1;
};

TEST_F(WatchdogFaults, FullDataFolderKeepsTheOldLedgerAndStillRelaunches) {
  if (std::string why = mountSmallDataFolder(); !why.empty()) GTEST_SKIP() << why;
  const fs::path filler = mountPoint_ / "filler";
  crashWhileLedgerCannotBeWritten([&] { fill(filler); }, [&] { fs::remove(filler); });
}

TEST_F(WatchdogFaults, ReadOnlyDataFolderKeepsTheOldLedgerAndStillRelaunches) {
  if (std::string why = mountSmallDataFolder(); !why.empty()) GTEST_SKIP() << why;
  crashWhileLedgerCannotBeWritten([&] { remount(MS_RDONLY); }, [&] { remount(0); });
}

TEST_F(WatchdogFaults, DeletedDataFolderIsRecreatedWithTheLedger) {
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const pid_t first = startHost();
  const std::optional<HostRunRecord> record = recordOf(first);
  ASSERT_TRUE(record);
  const std::optional<std::string> boot = ledger()->bootSession;

  // The bundle identifier's folder, so that the watchdog's path is gone twice over.
  fs::remove_all(files_.directory.parent_path().parent_path());
  // The host's next heartbeat makes the folders again; the ledger stays gone
  // until the watchdog has something new to write.
  ASSERT_TRUE(recordOf(first));
  EXPECT_FALSE(fs::exists(files_.ledgerPath()));

  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(waitExit(first));
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_EQ(launches()[1].arguments, kRecovered);
  const std::optional<WatchdogLedger> book =
      ledgerOnceIt([&](const WatchdogLedger& l) { return l.handledLaunchID == record->launchID; });
  ASSERT_TRUE(book);
  EXPECT_EQ(book->bootSession, boot);
  EXPECT_EQ(book->relaunches, 1);
  EXPECT_TRUE(running(watchdog));
}

TEST_F(WatchdogFaults, HostFileThatIsNoRecordReadsAsAbsentUntilOneReturns) {
  const struct {
    const char* what;
    void (*make)(const fs::path&);
  } kSwaps[] = {
      {"a folder",
       [](const fs::path& at) {
         fs::create_directory(at);
         std::ofstream(at / "host.json") << "{}";
       }},
      {"a FIFO without writer", [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
      {"a dangling symbolic link",
       [](const fs::path& at) { fs::create_symlink(at.parent_path() / "gone.json", at); }},
      {"a sparse file of 512 MiB",
       [](const fs::path& at) {
         const int fd = open(at.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
         ASSERT_GE(fd, 0);
         EXPECT_EQ(ftruncate(fd, off_t{512} << 20), 0);
         close(fd);
       }},
  };
  // More crashes than the crash loop allows: every run lifts the stop.
  writePlan({"reset"});
  const pid_t watchdog = startWatching();
  startHost();
  size_t launched = 1;
  for (const auto& swap : kSwaps) {
    SCOPED_TRACE(swap.what);
    const std::optional<HostRunRecord> record = resetRunOf(launched);
    ASSERT_TRUE(record);
    const pid_t host = record->pid;
    // Stopped, the host cannot write over the swap; then it dies unseen. The
    // tick that the exit wakes, or an earlier one, meets the swapped file.
    ASSERT_EQ(kill(host, SIGSTOP), 0);
    ASSERT_TRUE(waitFor([&] { return facts(host) && facts(host)->state == 'T'; }));
    fs::remove(files_.hostRecordPath());
    swap.make(files_.hostRecordPath());
    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_TRUE(waitExit(host));
    EXPECT_FALSE(launchesReach(launched + 1, 2s)) << "a crash was judged without a record";
    EXPECT_TRUE(running(watchdog));

    fs::remove_all(files_.hostRecordPath());
    ASSERT_TRUE(WatchdogStore::write(*record, files_.hostRecordPath()));
    ASSERT_TRUE(launchesReach(++launched, 10s)) << "the restored record was not judged";
    EXPECT_EQ(launches().back().arguments.at(0), kRecovered[0]);
    EXPECT_TRUE(ledgerOnceIt(
        [&](const WatchdogLedger& l) { return l.handledLaunchID == record->launchID; }));
  }
  EXPECT_EQ(ledger()->relaunches, static_cast<int64_t>(std::size(kSwaps)));
}

TEST_F(WatchdogFaults, RecordNamingAnUnrelatedProcessNeverSignalsIt) {
  const pid_t sleeper = spawn({"/bin/sleep", "600"});
  expectJudgedEndedUnsignalled(sleeper);
  EXPECT_TRUE(running(sleeper));
}

TEST_F(WatchdogFaults, RecordNamingPidOneIsJudgedEnded) {
  // Only a record whose executable is pid 1's could make the watchdog judge
  // it alive, and so hung.
  std::error_code unreadable;
  ASSERT_NE(fs::read_symlink("/proc/1/exe", unreadable), macOS_ / "Host");
  expectJudgedEndedUnsignalled(1);
}

TEST_F(WatchdogFaults, RecordNamingTheWatchdogItselfNeverEndsIt) {
  writePlan({"crash 0.5", "run"});
  const pid_t watchdog = startWatching();
  // Its own pid and path, silent and curtained: as hung as a record can be.
  ASSERT_TRUE(WatchdogStore::write(staleRecord(watchdog, watchdog_), files_.hostRecordPath()));
  EXPECT_FALSE(waitExit(watchdog, 4s)) << "the watchdog ended itself";
  EXPECT_EQ(ledger()->relaunches, 0);

  // Still at work: the next real host's crash is relaunched.
  fs::remove(files_.hostRecordPath());
  startHost();
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_EQ(launches()[1].arguments, kRecovered);
  EXPECT_TRUE(running(watchdog));
}

TEST_F(WatchdogFaults, AsPidOneOfANamespaceItReapsTheHostsThatEnd) {
  const pid_t unshare =
      spawn({"/usr/bin/unshare", "--pid", "--mount-proc", "--kill-child", watchdog_.string()});
  ASSERT_TRUE(waitFor([&] { return ledger().has_value(); })) << "the watchdog never ticked";
  const std::vector<pid_t> inside = childrenOf(unshare);
  ASSERT_EQ(inside.size(), 1u);
  // An ended run: the host is launched, and ends at once, as the test is not
  // in its namespace; each start is handed to the watchdog, its init.
  ASSERT_TRUE(WatchdogStore::write(staleRecord(99999, macOS_ / "Host"), files_.hostRecordPath()));
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_TRUE(waitFor(
      [&] {
        for (pid_t child : childrenOf(inside[0])) {
          if (facts(child) && facts(child)->state == 'Z') return false;
        }
        return true;
      },
      3s))
      << "an ended host is left a zombie";
}

TEST_F(WatchdogFaults, RecordRewrittenEveryMillisecondIsNeverMisjudged) {
  writePlan({"run"});
  const pid_t watchdog = startWatching();
  const pid_t host = startHost();
  std::optional<HostRunRecord> record = recordOf(host);
  ASSERT_TRUE(record);

  // Beside the host's own writes, a fresh heartbeat every millisecond.
  std::atomic<bool> done = false;
  size_t writes = 0;
  std::thread writer([&] {
    HostRunRecord beat = *record;
    beat.curtainUp = true;
    while (!done) {
      beat.heartbeatUptime = uptime();
      beat.heartbeatAt = std::chrono::system_clock::now();
      if (WatchdogStore::write(beat, files_.hostRecordPath(), /*durable=*/false)) ++writes;
      std::this_thread::sleep_for(1ms);
    }
  });
  const bool misjudged = waitFor([&] { return !running(host) || launches().size() > 1; }, 10s);
  done = true;
  writer.join();

  EXPECT_FALSE(misjudged);
  EXPECT_GT(writes, 1000u);
  EXPECT_TRUE(running(host));
  EXPECT_EQ(launches().size(), 1u);
  EXPECT_EQ(ledger()->relaunches, 0);
  EXPECT_FALSE(ledger()->handledLaunchID);
  EXPECT_TRUE(running(watchdog));
}

TEST_F(WatchdogFaults, KilledWhileWritingTheLedgerNeverCountsAnExitTwice) {
  constexpr int kRounds = 12;
  const unsigned seed = std::random_device{}();
  RecordProperty("seed", static_cast<int>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Mostly within the few milliseconds of the judgement and its write, now
  // and then after the relaunch.
  auto delay = [&] {
    if (random() % 4 == 0) return std::chrono::milliseconds(1500 + random() % 500);
    return std::chrono::milliseconds(random() % 25);
  };

  // Every run lifts a crash-loop stop, so that every crash counts.
  writePlan({"reset"});
  pid_t watchdog = startWatching();
  startHost();
  int judgedByRestart = 0;
  int relaunchedBeforeKill = 0;
  for (int crashes = 1; crashes <= kRounds; ++crashes) {
    SCOPED_TRACE("crash " + std::to_string(crashes));
    const std::optional<HostRunRecord> record = resetRunOf(crashes);
    ASSERT_TRUE(record) << "the host never lifted the stop";
    const pid_t host = record->pid;

    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_TRUE(waitExit(host));
    std::this_thread::sleep_for(delay());
    ASSERT_EQ(kill(watchdog, SIGKILL), 0);
    ASSERT_TRUE(waitExit(watchdog));
    const size_t launched = launches().size();
    const std::optional<WatchdogLedger> left = ledger();
    ASSERT_TRUE(left) << "the ledger does not read back whole";
    ASSERT_EQ(left->relaunches, crashes - (left->handledLaunchID == record->launchID ? 0 : 1));

    watchdog = startWatchdog();
    const std::optional<WatchdogLedger> book = ledgerOnceIt(
        [&](const WatchdogLedger& l) { return l.handledLaunchID == record->launchID; });
    ASSERT_TRUE(book) << "the crash was never judged";
    EXPECT_EQ(book->relaunches, crashes);
    EXPECT_LE(book->unexpectedExits.size(), 3u);
    if (launched > static_cast<size_t>(crashes)) {
      ++relaunchedBeforeKill;
      continue;
    }
    judgedByRestart += left->handledLaunchID != record->launchID;
    // Judged by the restarted watchdog, or judged before the kill with the
    // relaunch still pending: either way the host comes back.
    ASSERT_TRUE(launchesReach(crashes + 1, 10s)) << "the restarted watchdog did not relaunch";
  }
  EXPECT_FALSE(launchesReach(kRounds + 2, 2s)) << "an exit was relaunched twice";
  EXPECT_EQ(launches().size(), static_cast<size_t>(kRounds + 1));
  // A kill between a write's temporary file and its rename leaves that file,
  // which the next watchdog removes.
  int leftovers = 0;
  for (const std::string& name : entries(files_.directory)) {
    leftovers += name.starts_with(".watchdog.json.");
  }
  EXPECT_EQ(leftovers, 0);
  std::printf(
      "%d crashes: %d judged by the restarted watchdog, %d relaunched before the kill, "
      "%d temporary files left; seed %u\n",
      kRounds, judgedByRestart, relaunchedBeforeKill, leftovers, seed);
}

}  // namespace
}  // namespace veldane
