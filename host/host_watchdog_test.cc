// The watchdog's view of a host that runs from a bundle: its own readers,
// probes and policy judge what the library wrote.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "host/host_test_support.h"
#include "platform/host_process_info.h"
#include "platform/uptime_clock.h"
#include "policy/watchdog_policy.h"
#include "state/host_run_record.h"
#include "state/unicode_text.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

// A child process with its standard output on a pipe; killed and reaped at
// the end in any case.
class Child {
 public:
  explicit Child(const std::string& program) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      execl(program.c_str(), program.c_str(), "--veldane-recovered", nullptr);
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    end();
    if (out_ >= 0) close(out_);
  }
  pid_t pid() const { return pid_; }
  // The first line of output, or what came before 10 seconds passed.
  std::string line() {
    std::string text;
    char c;
    pollfd wait{out_, POLLIN, 0};
    while (poll(&wait, 1, 10'000) == 1 && read(out_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

bool aliveByTheWatchdogsRule(const HostRunRecord& record) {
  std::optional<std::string> path = HostProcessInfo::executablePath(record.pid);
  return path && UnicodeText::equal(WatchdogFiles::normalized(*path),
                                    WatchdogFiles::normalized(record.executablePath));
}

WatchdogDecision judge(const HostRunRecord& record, const TestBundle& bundle, double laterBy) {
  WatchdogObservation observation;
  observation.record = record;
  observation.ownedBundlePath = bundle.bundle().string();
  observation.recordProcessAlive = aliveByTheWatchdogsRule(record);
  observation.bootSession = HostProcessInfo::bootSession();
  observation.now = std::chrono::system_clock::now();
  observation.uptime = systemUptime() + laterBy;
  WatchdogLedger ledger;
  return WatchdogPolicy().decide(observation, ledger);
}

TEST(HostWatchdog, HostInABundleIsFoundAliveAndJudged) {
  TestBundle bundle;
  const std::filesystem::path executable = bundle.bundle() / "Contents/MacOS/Probe";
  ASSERT_TRUE(std::filesystem::copy_file(VELDANE_HOST_PROBE_FIXTURE, executable));
  Child host(executable.string());
  ASSERT_GT(host.pid(), 0);
  const std::string said = host.line();
  ASSERT_TRUE(said.starts_with("ready ")) << said;

  std::optional<HostRunRecord> record =
      WatchdogStore::read<HostRunRecord>(bundle.files().hostRecordPath());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, host.pid());
  EXPECT_EQ(record->launchID, said.substr(6));
  EXPECT_EQ(record->executablePath, executable.string());
  EXPECT_TRUE(aliveByTheWatchdogsRule(*record));
  EXPECT_EQ(judge(*record, bundle, 0), WatchdogDecision::none());
  EXPECT_EQ(judge(*record, bundle, 46), WatchdogDecision::killHungHost(host.pid()));

  host.end();
  EXPECT_FALSE(aliveByTheWatchdogsRule(*record));
  EXPECT_EQ(judge(*record, bundle, 0), WatchdogDecision::relaunch(WatchdogExitKind::crash));
}

}  // namespace
}  // namespace veldane
