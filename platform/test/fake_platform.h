#ifndef VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_
#define VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/watchdog_platform.h"

namespace veldane {

// A simulated platform with a virtual clock. Nothing happens until the test
// advances the clock; then every timer, delayed piece of work and posted
// piece of work that is due runs in order, on the test's thread.

class FakeMainLoop : public MainLoop {
 public:
  struct Signal {
    int32_t pid;
    int signal;
    friend bool operator==(const Signal&, const Signal&) = default;
  };

  std::unique_ptr<Timer> oneShotTimer(double delay, double tolerance, Callback callback) override;
  void runAfter(double delay, Callback work) override;
  void post(Callback work) override;
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  std::unique_ptr<Subscription> observePowerOff(Callback onPowerOff) override;
  void exitProcess(int status) override;

  // Virtual seconds since the simulation started.
  double time() const { return time_; }
  // Runs everything that falls due within `seconds`, in order of due time.
  void advance(double seconds);
  // Runs what is due now (posted work included) without moving the clock.
  void runDue() { advance(0); }

  // Ends a watched process: every watch on `pid` fires (as posted work).
  void endProcess(int32_t pid);
  void announcePowerOff();

  size_t pendingTimers() const;
  // Delay from now to the earliest pending timer, if any.
  std::optional<double> nextTimerIn() const;
  // Tolerance of the earliest pending timer.
  std::optional<double> nextTimerTolerance() const;
  bool watching(int32_t pid) const;

  std::optional<int> exitStatus() const { return exitStatus_; }
  // While set, no timer can be made or re-armed.
  bool timersFail = false;
  // Signals sent through exit watches. SIGKILL also ends the process.
  const std::vector<Signal>& signalsSent() const { return signals_; }
  // Called when a process is ended through a watch, so the test's process
  // table follows.
  std::function<void(int32_t pid)> onProcessKilled;

 private:
  struct Entry {
    uint64_t order;
    double due;
    Callback work;
    bool isTimer;
    double tolerance;
    bool cancelled = false;
  };
  class FakeTimer;
  class FakeWatch;
  struct WatchEntry {
    int32_t pid;
    Callback onExit;
  };

  std::shared_ptr<Entry> add(double delay, Callback work, bool isTimer, double tolerance);
  const Entry* earliestTimer() const;

  double time_ = 0;
  uint64_t nextOrder_ = 0;
  std::vector<std::shared_ptr<Entry>> entries_;
  std::map<uint64_t, WatchEntry> watches_;
  uint64_t nextWatch_ = 0;
  std::vector<Callback> powerOffObservers_;
  std::optional<int> exitStatus_;
  std::vector<Signal> signals_;
};

class FakeSystemProbes : public SystemProbes {
 public:
  explicit FakeSystemProbes(FakeMainLoop& loop) : loop_(loop) {}

  std::optional<std::string> executablePath(int32_t pid) override;
  bool isTraced(int32_t pid) override { return traced.contains(pid); }
  bool runsAsCurrentUser(int32_t pid) override { return !otherUsers.contains(pid); }
  std::string bootSession() override { return boot; }
  std::optional<FileIdentity> fileIdentity(const std::string& path) override;
  // As on Linux.
  bool samePath(std::string_view a, std::string_view b) override { return a == b; }
  std::optional<std::string> applicationSupportDirectory() override { return applicationSupport; }
  int32_t ownPid() override { return ownProcess; }
  bool kill(int32_t target, int signal) override;
  WatchdogDate now() override;
  double uptime() override { return uptimeAtStart + loop_.time(); }

  // The simulated process table: pid → executable path.
  std::map<int32_t, std::string> processes;
  std::set<int32_t> traced;
  // Processes that run as another user.
  std::set<int32_t> otherUsers;
  std::map<std::string, FileIdentity> files;
  std::string boot = "boot-1";
  std::optional<std::string> applicationSupport;
  int32_t ownProcess = 4242;
  double uptimeAtStart = 1000;
  WatchdogDate wallAtStart = WatchdogDate(std::chrono::seconds(1'780'000'000));
  std::vector<FakeMainLoop::Signal> kills;
  // The next calls of now() throw std::bad_alloc, as a tick's allocation would.
  int failingCalls = 0;
  // How often each probe was asked, to check what a tick does.
  std::map<std::string, int> calls;

 private:
  FakeMainLoop& loop_;
};

class FakeWorkspace : public Workspace {
 public:
  struct Open {
    std::string bundlePath;
    std::vector<std::string> arguments;
    double at;
    friend bool operator==(const Open&, const Open&) = default;
  };

  explicit FakeWorkspace(FakeMainLoop& loop) : loop_(loop) {}

  std::vector<RunningApplication> runningApplications(const std::string& identifier) override;
  std::vector<RunningApplication> processesRunning(const std::string& executablePath) override {
    return programs[executablePath];
  }
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;

  std::map<std::string, std::vector<RunningApplication>> applications;
  // Running processes by executable path.
  std::map<std::string, std::vector<RunningApplication>> programs;
  std::vector<Open> opens;
  // Outcomes of the next openings, first first; success once it is empty.
  std::vector<std::optional<std::string>> openErrors;
  // Called on each successful opening, e.g. to start a simulated host.
  std::function<void(const Open&)> onOpen;
  int scans = 0;

 private:
  FakeMainLoop& loop_;
};

class FakeBundleReader : public BundleReader {
 public:
  std::optional<BundleInfo> open(const std::string& bundlePath) override;
  std::map<std::string, BundleInfo> bundles;
};

class FakeLogChannel : public LogChannel {
 public:
  struct Line {
    LogLevel level;
    std::string message;
    friend bool operator==(const Line&, const Line&) = default;
  };
  void log(LogLevel level, std::string_view message) override {
    lines.push_back({level, std::string(message)});
  }
  void logWithFields(LogLevel level, std::string_view message, const LogFields& given) override {
    log(level, message);
    fields.push_back(given);
  }
  std::vector<Line> lines;
  std::vector<LogFields> fields;  // of the entries that had fields
};

// Snapshots that the test answers: at once with `answer`, or later through
// `complete` when `answerAtOnce` is off (or never, to run into the budget).
class FakeHangInspector : public HangInspector {
 public:
  struct Request {
    int32_t pid;
    double budget;
    double at;  // virtual time
    // Signals sent before the snapshot was asked for.
    size_t signalsBefore;
  };

  explicit FakeHangInspector(FakeMainLoop& loop) : loop_(loop) {}

  HostCpuSample sampleCpu(int32_t pid) override;
  void snapshot(int32_t pid, double budget, Completion done) override;
  // Answers the oldest snapshot not answered yet.
  void complete(HostHangSnapshot snapshot);

  std::map<int32_t, HostCpuSample> cpu;
  std::vector<std::pair<int32_t, double>> samples;  // pid, virtual time
  std::vector<Request> requests;
  bool answerAtOnce = true;
  HostHangSnapshot answer{{}, "unwound"};

 private:
  FakeMainLoop& loop_;
  std::vector<Completion> waiting_;
};

struct FakePlatform {
  FakeMainLoop loop;
  FakeSystemProbes probes{loop};
  FakeWorkspace workspace{loop};
  FakeBundleReader bundles;
  FakeLogChannel log;
  FakeHangInspector hangs{loop};

  FakePlatform() {
    loop.onProcessKilled = [this](int32_t pid) { probes.processes.erase(pid); };
  }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  WatchdogPlatform platform() { return {loop, probes, workspace, bundles, log, hangs}; }
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_
