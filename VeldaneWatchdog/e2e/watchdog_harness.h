#ifndef VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_
#define VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "state/host_run_record.h"
#include "state/watchdog_files.h"
#include "state/watchdog_hang_report.h"
#include "state/watchdog_ledger.h"

namespace veldane {

inline const std::vector<std::string> kRecovered{"--veldane-recovered"};

// The whole file as text; empty when it cannot be read.
std::string contents(const std::filesystem::path& path);

// One start of the demo host, as its launch log tells it.
struct HostLaunch {
  pid_t pid = 0;
  std::vector<std::string> arguments;
};

// What /proc tells of a process.
struct ProcessFacts {
  char state = '?';
  pid_t parent = 0;
  pid_t session = 0;
};

// A private installation for one test: a temporary folder with its own HOME, a
// bundle Test.app holding copies of the demo host and of the built watchdog,
// and the control folder through which the host logs its starts. This process
// becomes a child subreaper, so every detached host ends up as its child;
// TearDown kills and reaps all of them and removes the folder.
class WatchdogHarness : public testing::Test {
 protected:
  static constexpr char kIdentifier[] = "com.veldane.e2e";
  static constexpr std::chrono::seconds kPatience{20};

  void SetUp() override;
  void TearDown() override;

  // Line N is what the host's Nth start does; the last line repeats.
  void writePlan(const std::vector<std::string>& steps) const;
  // Starts `argv` as a child in the test's folder with the test environment
  // and only the standard three descriptors; it dies with this process.
  pid_t spawn(const std::vector<std::string>& argv,
              const std::filesystem::path& errors = "/dev/null") const;
  pid_t startWatchdog() const { return spawn({watchdog_.string()}); }
  // Starts the watchdog and waits for its first tick, which writes a fresh ledger.
  pid_t startWatching() {
    std::filesystem::remove(files_.ledgerPath());
    const pid_t watchdog = startWatchdog();
    EXPECT_TRUE(waitFor([&] { return ledger().has_value(); })) << "the watchdog never ticked";
    return watchdog;
  }
  pid_t startHost() const { return spawn({(macOS_ / "Host").string()}); }

  std::vector<HostLaunch> launches() const;
  bool launchesReach(size_t count, std::chrono::milliseconds timeout = kPatience) const {
    return waitFor([&] { return launches().size() >= count; }, timeout);
  }
  std::optional<WatchdogLedger> ledger() const;
  std::optional<HostRunRecord> hostRecord() const;
  std::optional<WatchdogHangReport> hangReport() const;

  // Polls `condition` until it holds or `timeout` passes; gives the last result.
  static bool waitFor(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = kPatience);
  // The wait status of child `pid` once it has ended, reaping it.
  static std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds timeout = kPatience);
  static std::optional<ProcessFacts> facts(pid_t pid);
  static bool running(pid_t pid);
  // The processes whose parent is `parent`, zombies included.
  static std::vector<pid_t> childrenOf(pid_t parent);
  // Kills and reaps every process this test started and every orphan handed over.
  static void endProcesses();

  std::filesystem::path root_;      // the test's folder
  std::filesystem::path bundle_;    // root_/Test.app
  std::filesystem::path macOS_;     // bundle_/Contents/MacOS
  std::filesystem::path watchdog_;  // macOS_/VeldaneWatchdog
  std::filesystem::path control_;   // the host's launch log and plan
  WatchdogFiles files_;

 private:
  std::vector<std::string> environment_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_
