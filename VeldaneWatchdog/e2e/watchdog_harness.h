#ifndef VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_
#define VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "demo/info_plist.h"
#include "state/host_run_record.h"
#include "state/relaunch_flags.h"
#include "state/watchdog_files.h"
#include "state/watchdog_ledger.h"
#include "state/watchdog_store.h"

namespace veldane::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const std::vector<std::string>& kRecovered = RelaunchFlag::afterCrash();
constexpr std::chrono::seconds kPatience{20};

inline std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Polls `condition` until it holds or `timeout` passes; gives the last result.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = kPatience) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The wait status of child `pid` once it has ended, reaping it; -1 while it
// runs. A stop of a traced child is passed over.
inline int waitExit(pid_t pid, std::chrono::milliseconds timeout = kPatience) {
  int status = -1;
  auto ended = [&] { return waitpid(pid, &status, WNOHANG) == pid && !WIFSTOPPED(status); };
  return waitFor(ended, timeout) ? status : -1;
}

// What /proc tells of a process; state '?' when there is none.
struct ProcessFacts {
  char state = '?';
  pid_t parent = 0, group = 0, session = 0;
};

inline ProcessFacts facts(pid_t pid) {
  const std::string stat = contents("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold anything, so the fields start after its last ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  ProcessFacts result;
  fields >> result.state >> result.parent >> result.group >> result.session;
  return result;
}

// The processes whose parent is `parent`, zombies included.
inline std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> found;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (facts(std::stoi(name)).parent == parent) found.push_back(std::stoi(name));
  }
  return found;
}

// One start of the demo host, as its launch log tells it.
struct HostLaunch {
  pid_t pid = 0;
  std::vector<std::string> arguments;
};

// A private installation for one test: a folder with its own HOME, a bundle
// Test.app with copies of the demo host and the watchdog, and the host's
// control folder. As a child subreaper this process inherits every detached
// host; TearDown kills and reaps all of them and removes the folder.
class WatchdogHarness : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string pattern = (fs::temp_directory_path() / "veldane_e2e.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    // The watchdog compares the paths that /proc reports, which have no links.
    root_ = fs::canonical(pattern);
    fs::create_directories(macOS_ = root_ / "Test.app/Contents/MacOS");
    fs::create_directories(control_ = root_ / "control");
    const std::string infoPlist = bundleInfoPlist("com.veldane.e2e", "Host");
    ASSERT_FALSE(infoPlist.empty()) << "no Info.plist template at " VELDANE_INFO_PLIST_TEMPLATE;
    std::ofstream(root_ / "Test.app/Contents/Info.plist") << infoPlist;
    fs::copy_file(VELDANE_E2E_DEMO_HOST, macOS_ / "Host");
    fs::copy_file(VELDANE_E2E_WATCHDOG, watchdog_ = macOS_ / "VeldaneWatchdog");
    fs::copy_file(VELDANE_E2E_HANG_STACKS, macOS_ / "veldane-hang-stacks");
    files_ = WatchdogFiles::forBundle(root_ / "home/.local/share", "com.veldane.e2e",
                                      (root_ / "Test.app").string());
    // What this test starts sees nothing else of ctest's environment.
    clearenv();
    setenv("HOME", (root_ / "home").c_str(), 1);
    setenv("PATH", "/usr/bin:/bin", 1);
    setenv("VELDANE_DEMO_IDENTIFIER", "com.veldane.e2e", 1);
    setenv("VELDANE_DEMO_CONTROL", control_.c_str(), 1);
    setenv("VELDANE_DEMO_OWNER", std::to_string(getpid()).c_str(), 1);
  }

  void TearDown() override {
    endProcesses();
    // The read-only test's tmpfs, now that nothing holds it.
    umount2(files_.directory().parent_path().c_str(), MNT_DETACH);
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }

  // Kills and reaps every process this test started. Once nothing is left to
  // reap, no descendant is left at all: every orphan comes to this subreaper
  // before its parent can be reaped.
  static void endProcesses() {
    do {
      for (pid_t child : childrenOf(getpid())) kill(child, SIGKILL);
    } while (waitpid(-1, nullptr, __WALL) >= 0 || errno != ECHILD);
  }

  // Line N is what the host's Nth start does; the last line repeats.
  void writePlan(const std::vector<std::string>& steps) const {
    std::ofstream plan(control_ / "plan");
    for (const std::string& step : steps) plan << step << '\n';
  }

  // Starts `argv` as a child in the test's folder with only the standard
  // three descriptors; it dies with this process.
  pid_t spawn(std::vector<std::string> argv, const fs::path& errors = "/dev/null") const {
    std::vector<char*> argp;
    for (std::string& text : argv) argp.push_back(text.data());
    argp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // should this test die without TearDown
      const int in = open("/dev/null", O_RDONLY);
      const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0 || chdir(root_.c_str()) != 0) {
        _exit(126);
      }
      // Nothing of ctest's is passed on: the open-file limit test counts on that.
      close_range(3, ~0U, 0);
      execv(argp[0], argp.data());
      _exit(127);
    }
    return pid;
  }

  // Starts the watchdog, with `argv` before it, and waits for its first tick.
  pid_t startWatching(std::vector<std::string> argv = {}, const fs::path& errors = "/dev/null") {
    fs::remove(files_.ledgerPath());
    argv.push_back(watchdog_.string());
    const pid_t pid = spawn(argv, errors);
    EXPECT_TRUE(waitFor([&] { return ledger().has_value(); })) << contents(errors);
    return pid;
  }
  pid_t startHost() const { return spawn({(macOS_ / "Host").string()}); }

  std::vector<HostLaunch> launches() const {
    std::vector<HostLaunch> result;
    std::istringstream log(contents(control_ / "launches"));
    for (std::string line; std::getline(log, line);) {
      std::istringstream words(line);
      HostLaunch& launch = result.emplace_back();
      words >> launch.pid;
      for (std::string word; words >> word;) launch.arguments.push_back(word);
    }
    return result;
  }
  bool launchesReach(size_t count, std::chrono::milliseconds timeout = kPatience) const {
    return waitFor([&] { return launches().size() >= count; }, timeout);
  }

  std::optional<WatchdogLedger> ledger() const {
    return WatchdogStore::read<WatchdogLedger>(files_.ledgerPath());
  }

  // The host's record once it names `pid`; with `reset`, once its crash-loop
  // reset has lifted any stop as well.
  std::optional<HostRunRecord> recordOf(pid_t pid, bool reset = false) const {
    std::optional<HostRunRecord> record;
    const bool named = waitFor([&] {
      record = WatchdogStore::read<HostRunRecord>(files_.hostRecordPath());
      return record && record->pid == pid &&
             (!reset || (record->crashLoopResetAt && !ledger().value().stoppedAt));
    });
    return named ? record : std::nullopt;
  }

  // Whether the ledger comes to tell that `run` has ended.
  bool judged(const HostRunRecord& run) const {
    return waitFor([&] { return ledger().value().handledLaunchID == run.launchID; });
  }

  void crash(pid_t pid) const {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_NE(waitExit(pid), -1);
  }

  fs::path root_;      // the test's folder, with HOME in root_/home
  fs::path macOS_;     // root_/Test.app/Contents/MacOS
  fs::path watchdog_;  // macOS_/VeldaneWatchdog
  fs::path control_;   // the host's launch log and plan
  WatchdogFiles files_;
};

}  // namespace veldane::e2e

#endif  // VELDANE_VELDANEWATCHDOG_E2E_WATCHDOG_HARNESS_H_
