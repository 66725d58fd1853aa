#ifndef VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_
#define VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_

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

// A main loop with a virtual clock. Nothing happens until the test advances
// the clock; then everything that falls due runs in order, on its thread.
class FakeMainLoop : public MainLoop {
 public:
  std::unique_ptr<Timer> oneShotTimer(double delay, double tolerance, Callback callback) override;
  void runAfter(double delay, Callback work) override { add(delay, std::move(work), -1); }
  void post(Callback work) override { runAfter(0, std::move(work)); }
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  std::unique_ptr<Subscription> observePowerOff(Callback onPowerOff) override {
    powerOffObservers_.push_back(std::move(onPowerOff));
    return std::make_unique<Subscription>();
  }
  void exitProcess(int status) override { exitStatus = exitStatus.value_or(status); }

  double time() const { return time_; }
  void advance(double seconds);
  void runDue() { advance(0); }
  // The process leaves `processes`, and every watch on it fires.
  void endProcess(int32_t pid);
  void announcePowerOff() {
    for (const Callback& observer : powerOffObservers_) post(observer);
  }
  size_t pendingTimers() const;
  // The earliest pending timer's delay from now and its tolerance.
  std::optional<std::pair<double, double>> nextTimer() const;
  bool watching(int32_t pid) const;

  std::optional<int> exitStatus;
  // While set, no timer can be made or re-armed.
  bool timersFail = false;
  // The simulated process table: pid → executable path.
  std::map<int32_t, std::string> processes;
  // Sent through exit watches (pid, signal); SIGKILL ends the process.
  std::vector<std::pair<int32_t, int>> signalsSent;

 private:
  // Due time, then order of scheduling.
  using Key = std::pair<double, uint64_t>;
  struct Entry {
    Callback work;
    double tolerance;  // negative for work that is no timer
  };
  class FakeTimer;
  class FakeWatch;

  Key add(double delay, Callback work, double tolerance);

  double time_ = 0;
  uint64_t nextOrder_ = 0;
  std::map<Key, Entry> entries_;
  std::map<uint64_t, std::pair<int32_t, Callback>> watches_;
  std::vector<Callback> powerOffObservers_;
};

// The whole simulated system: queries answer from the public fields, and
// what the supervisor does is recorded in them.
class FakePlatform : public FakeMainLoop,
                     public SystemProbes,
                     public Workspace,
                     public BundleReader,
                     public LogChannel,
                     public HangInspector {
 public:
  WatchdogPlatform platform() { return {*this, *this, *this, *this, *this, *this}; }

  std::optional<std::string> executablePath(int32_t pid) override { return find(processes, pid); }
  bool isTraced(int32_t pid) override { return traced.contains(pid); }
  bool runsAsCurrentUser(int32_t pid) override { return !otherUsers.contains(pid); }
  std::string bootSession() override { return boot; }
  std::optional<FileIdentity> fileIdentity(const std::string& path) override {
    ++fileIdentityCalls;
    return find(files, path);
  }
  bool samePath(std::string_view a, std::string_view b) override { return a == b; }
  std::optional<std::string> applicationSupportDirectory() override { return applicationSupport; }
  int32_t ownPid() override { return 4242; }
  bool kill(int32_t pid, int /*signal*/) override {
    killedByPid.push_back(pid);
    return true;
  }
  WatchdogDate now() override;
  double uptime() override { return 1000 + time(); }

  std::vector<RunningApplication> runningApplications(const std::string& identifier) override {
    return applications[identifier];
  }
  std::vector<RunningApplication> processesRunning(const std::string& executable) override {
    return programs[executable];
  }
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;

  std::optional<BundleInfo> open(const std::string& path) override { return find(bundles, path); }

  void log(LogLevel level, std::string_view message) override {
    levels.push_back(level);
    lines.emplace_back(message);
  }
  void logWithFields(LogLevel level, std::string_view message, const LogFields& given) override {
    log(level, message);
    fields.push_back(given);
  }

  HostCpuSample sampleCpu(int32_t pid) override {
    samples.push_back(time());
    return cpu[pid];
  }
  void snapshot(int32_t /*pid*/, double /*budget*/, Completion done) override {
    snapshots.push_back(signalsSent.size());
    if (answerAtOnce) return done(answer);
    waiting.push_back(std::move(done));
  }

  std::set<int32_t> traced;
  std::set<int32_t> otherUsers;
  std::string boot = "boot-1";
  std::map<std::string, FileIdentity> files;
  int fileIdentityCalls = 0;  // once a tick
  std::optional<std::string> applicationSupport;
  // Signalled by pid rather than through a watch.
  std::vector<int32_t> killedByPid;
  // The next calls of now() throw std::bad_alloc, as a tick's allocation would.
  int failingCalls = 0;

  std::map<std::string, std::vector<RunningApplication>> applications;
  std::map<std::string, std::vector<RunningApplication>> programs;  // by executable
  // The arguments and times of every opening of the bundle.
  std::vector<std::vector<std::string>> opened;
  std::vector<double> openedAt;
  // Outcomes of the next openings, first first; success once it is empty.
  std::vector<std::optional<std::string>> openErrors;
  // Called on each successful opening, e.g. to start a simulated host.
  std::function<void()> onOpen;

  std::map<std::string, BundleInfo> bundles;

  std::vector<std::string> lines;
  std::vector<LogLevel> levels;
  std::vector<LogFields> fields;  // of the entries that had fields

  std::map<int32_t, HostCpuSample> cpu;
  std::vector<double> samples;  // when
  // For each snapshot asked for, the signals sent before it.
  std::vector<size_t> snapshots;
  // Off: snapshots wait in `waiting` for the test to answer them, or never finish.
  bool answerAtOnce = true;
  HostHangSnapshot answer{{}, "unwound"};
  std::vector<Completion> waiting;

 private:
  template <typename Map>
  static std::optional<typename Map::mapped_type> find(const Map& map,
                                                       const typename Map::key_type& key) {
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
  }
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_
