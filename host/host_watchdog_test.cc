// The watchdog's view of a host that runs from a bundle: its own readers,
// probes and policy judge what the library wrote.
#include <signal.h>

#include <chrono>
#include <cstdio>
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

// The probe fixture run from `executable`, with the pid and launch ID that
// it reports; killed and reaped at the end in any case.
class Probe {
 public:
  explicit Probe(const std::string& executable)
      : out_(popen(("exec '" + executable + "'").c_str(), "r")) {
    char line[200] = "";
    if (out_ && fgets(line, sizeof line, out_)) {
      char id[100] = "";
      if (sscanf(line, "ready %d %99s", &pid_, id) == 2) launchID_ = id;
    }
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;
  ~Probe() { end(); }
  void end() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (out_) pclose(out_);
    out_ = nullptr;
  }
  int pid() const { return pid_; }
  const std::string& launchID() const { return launchID_; }

 private:
  FILE* out_;
  int pid_ = 0;
  std::string launchID_;
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
  Probe host(executable.string());
  ASSERT_GT(host.pid(), 0);

  std::optional<HostRunRecord> record =
      WatchdogStore::read<HostRunRecord>(bundle.files().hostRecordPath());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, host.pid());
  EXPECT_EQ(record->launchID, host.launchID());
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
