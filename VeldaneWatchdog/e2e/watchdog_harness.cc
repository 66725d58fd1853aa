#include "VeldaneWatchdog/e2e/watchdog_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "state/watchdog_store.h"

namespace veldane {

std::string contents(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

namespace {

namespace fs = std::filesystem;

constexpr char kInfoPlist[] =
    "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.veldane.e2e</string>"
    "<key>CFBundleExecutable</key><string>Host</string></dict></plist>";

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

std::optional<ProcessFacts> WatchdogHarness::facts(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return std::nullopt;
  // The command name may hold anything, so the fields start after its last ')'.
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  ProcessFacts result;
  pid_t group = 0;
  if (!(fields >> result.state >> result.parent >> group >> result.session)) return std::nullopt;
  return result;
}

std::vector<pid_t> WatchdogHarness::childrenOf(pid_t parent) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = readdir(proc)) {
    pid_t pid = 0;
    const char* end = entry->d_name + strlen(entry->d_name);
    if (std::from_chars(entry->d_name, end, pid).ptr != end) continue;
    std::optional<ProcessFacts> process = facts(pid);
    if (process && process->parent == parent) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

void WatchdogHarness::SetUp() {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::string pattern = (fs::temp_directory_path() / "veldane_e2e.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  // The watchdog compares the paths that /proc reports, which have no links.
  root_ = fs::canonical(pattern);
  bundle_ = root_ / "Test.app";
  macOS_ = bundle_ / "Contents" / "MacOS";
  watchdog_ = macOS_ / "VeldaneWatchdog";
  control_ = root_ / "control";
  fs::create_directories(macOS_);
  fs::create_directories(control_);
  fs::create_directories(root_ / "home");
  std::ofstream(bundle_ / "Contents" / "Info.plist") << kInfoPlist;
  fs::copy_file(VELDANE_E2E_DEMO_HOST, macOS_ / "Host");
  fs::copy_file(VELDANE_E2E_WATCHDOG, watchdog_);
  fs::copy_file(VELDANE_E2E_HANG_STACKS, macOS_ / "veldane-hang-stacks");
  files_ =
      WatchdogFiles::forBundle(root_ / "home" / ".local" / "share", kIdentifier, bundle_.string());
  environment_ = {"HOME=" + (root_ / "home").string(),
                  std::string("VELDANE_DEMO_IDENTIFIER=") + kIdentifier,
                  "VELDANE_DEMO_CONTROL=" + control_.string(),
                  "VELDANE_DEMO_OWNER=" + std::to_string(getpid()), "PATH=/usr/bin:/bin"};
}

void WatchdogHarness::TearDown() {
  endProcesses();
  std::error_code ignored;
  if (!root_.empty()) fs::remove_all(root_, ignored);
}

void WatchdogHarness::writePlan(const std::vector<std::string>& steps) const {
  std::ofstream plan(control_ / "plan");
  for (const std::string& step : steps) plan << step << '\n';
}

pid_t WatchdogHarness::spawn(const std::vector<std::string>& argv, const fs::path& errors) const {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = environment_;
  std::vector<char*> argp = pointers(arguments);
  std::vector<char*> envp = pointers(environment);
  const std::string errorPath = errors.string();
  const std::string folder = root_.string();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // should this test die without TearDown
    int in = open("/dev/null", O_RDONLY);
    int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0 || chdir(folder.c_str()) != 0) {
      _exit(126);
    }
    // Nothing of ctest's is passed on: the open-file limit test counts on that.
    close_range(3, ~0U, 0);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  return pid;
}

std::vector<HostLaunch> WatchdogHarness::launches() const {
  std::vector<HostLaunch> result;
  std::ifstream log(control_ / "launches");
  for (std::string line; std::getline(log, line);) {
    std::istringstream words(line);
    HostLaunch launch;
    words >> launch.pid;
    for (std::string word; words >> word;) launch.arguments.push_back(word);
    result.push_back(launch);
  }
  return result;
}

std::optional<WatchdogLedger> WatchdogHarness::ledger() const {
  return WatchdogStore::read<WatchdogLedger>(files_.ledgerPath());
}
std::optional<WatchdogHangReport> WatchdogHarness::hangReport() const {
  return WatchdogStore::read<WatchdogHangReport>(files_.hangReportPath(),
                                                 WatchdogStore::kMaxReportSize);
}
std::optional<HostRunRecord> WatchdogHarness::hostRecord() const {
  return WatchdogStore::read<HostRunRecord>(files_.hostRecordPath());
}

bool WatchdogHarness::waitFor(const std::function<bool()>& condition,
                              std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::optional<int> WatchdogHarness::waitExit(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  // A stop reported for a traced child is passed over.
  auto ended = [&] {
    return waitpid(pid, &status, WNOHANG) == pid && (WIFEXITED(status) || WIFSIGNALED(status));
  };
  if (waitFor(ended, timeout)) return status;
  return std::nullopt;
}

void WatchdogHarness::endProcesses() {
  // Once nothing is left to reap, no descendant is left at all: every orphan
  // comes to this subreaper before its parent can be reaped.
  for (;;) {
    for (pid_t child : childrenOf(getpid())) kill(child, SIGKILL);
    if (waitpid(-1, nullptr, __WALL) < 0 && errno == ECHILD) break;
  }
}

bool WatchdogHarness::running(pid_t pid) {
  std::optional<ProcessFacts> process = facts(pid);
  return process && process->state != 'Z' && process->state != 'X';
}

}  // namespace veldane
