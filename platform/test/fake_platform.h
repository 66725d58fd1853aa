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

// The simulated system on a virtual clock: what falls due runs in order as the
// test advances it. Queries answer from the knobs; what it is asked to do
// goes to the records.
class FakePlatform : public MainLoop,
                     public SystemProbes,
                     public Workspace,
                     public BundleReader,
                     public LogChannel,
                     public HangInspector {
 public:
  WatchdogPlatform platform() { return {*this, *this, *this, *this, *this, *this}; }

  std::unique_ptr<Timer> oneShotTimer(Seconds delay, Seconds tolerance, Callback callback) override;
  void runAfter(Seconds delay, Callback work) override { add(delay.count(), std::move(work), -1); }
  void post(Callback work) override { runAfter(Seconds::zero(), std::move(work)); }
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t pid, Callback onExit) override;
  std::unique_ptr<Subscription> observeSessionEnd(SessionEndCallback onNotice) override {
    sessionEnd_ = std::move(onNotice);
    return std::make_unique<Subscription>();
  }
  void exitProcess(int status) override { exitStatus = exitStatus.value_or(status); }

  std::optional<std::string> executablePath(int32_t pid) override {
    return processes.contains(pid) ? std::optional(processes[pid]) : std::nullopt;
  }
  bool isTraced(int32_t pid) override { return traced.contains(pid); }
  bool isCurrentUsersProcess(int32_t pid) override {
    return !otherUsers.contains(pid) && !threads.contains(pid);
  }
  std::optional<Seconds> startUptime(int32_t pid) override {
    return processes.contains(pid) && startedAt.contains(pid)
               ? std::optional(Seconds(startedAt[pid]))
               : std::nullopt;
  }
  std::string bootSession() override { return "boot-1"; }
  std::optional<FileIdentity> fileIdentity(const std::string&) override { return ownIdentity; }
  bool samePath(std::string_view a, std::string_view b) override { return a == b; }
  std::optional<std::string> applicationSupportDirectory() override { return applicationSupport; }
  WatchdogDataFacts dataFolderFacts(const std::string& /*bundlePath*/) override {
    return {applicationSupport, appGroup, groupContainer, false};
  }
  bool hasRoomToWrite(const std::string& /*directory*/) override { return !diskFull; }
  int32_t ownPid() override { return 4242; }
  bool kill(int32_t pid, int signal) override;
  WatchdogDate now() override;
  Seconds uptime() override { return Seconds(1000 + time_); }

  std::vector<RunningApplication> runningApplications(const std::string& /*id*/) override {
    return running;
  }
  std::vector<RunningApplication> processesRunning(const std::string& executable) override {
    return programs[executable];
  }
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override;

  std::optional<BundleInfo> open(const std::string& /*path*/) override { return bundle; }

  void log(LogLevel /*level*/, std::string_view message) override { lines.emplace_back(message); }

  HostCpuSample sampleCpu(int32_t pid) override {
    samples.push_back(time_);
    return cpu[pid];
  }
  void snapshot(int32_t /*pid*/, Seconds /*budget*/, Completion done) override {
    if (snapshotReply) {
      return done([this, given = *snapshotReply] {
        gatheredWithSignals = signalsSent.size();
        return given;
      });
    }
    pendingSnapshots.push_back(std::move(done));
  }

  void advance(double seconds);
  void runDue() { advance(0); }
  // The process leaves `processes`, and every watch on it fires.
  void endProcess(int32_t pid);
  // As macOS announces an end, with no word when it is called off; with
  // `announcesCancel` set, as Linux does, which also says so.
  void announce(SessionEndNotice::Kind kind) {
    post([this, kind] {
      if (sessionEnd_) sessionEnd_({kind, announcesCancel});
    });
  }
  void announcePowerOff() { announce(SessionEndNotice::Kind::powerOff); }
  // The earliest pending timer's delay from now and its tolerance.
  std::optional<std::pair<double, double>> nextTimer() const;

  // Knobs: what the simulated system answers and how it fails.
  bool timersFail = false;                   // while set, no timer can be made
  bool announcesCancel = false;              // false: macOS, true: Linux
  std::map<int32_t, std::string> processes;  // pid → executable
  std::set<int32_t> traced, otherUsers;
  std::set<int32_t> threads;            // ids of threads that lead no process
  std::set<int32_t> unwatchable;        // pids whose exit cannot be watched
  std::map<int32_t, double> startedAt;  // pid → uptime() when it started, where known
  bool diskFull = false;
  std::optional<FileIdentity> ownIdentity;  // of every file: only its own executable is asked
  std::optional<std::string> applicationSupport;
  std::optional<std::string> appGroup, groupContainer;  // the bundle's, and the group's container
  int nowThrowsTimes = 0;  // the next calls of now() throw std::bad_alloc, as allocations might
  std::vector<RunningApplication> running;                          // with the host's identifier
  std::map<std::string, std::vector<RunningApplication>> programs;  // by executable
  int failingOpenings = 0;           // the next ones fail with "no such file"
  std::function<void()> onOpen;      // on each successful opening
  std::optional<BundleInfo> bundle;  // of every bundle
  std::map<int32_t, HostCpuSample> cpu;
  // What every snapshot gives at once; absent: snapshots wait in
  // `pendingSnapshots` for the test to answer them, or never finish.
  std::optional<HostHangSnapshot> snapshotReply = HostHangSnapshot{{}, "unwound"};

  // Records: what the simulated system was asked to do.
  std::optional<int> exitStatus;
  std::vector<std::pair<int32_t, int>> signalsSent;  // through exit watches; SIGKILL ends
  std::vector<std::pair<int32_t, int>> killed;       // by pid, through kill()
  std::vector<std::vector<std::string>> opened;      // the arguments of every opening
  std::vector<double> openedAt;                      // and its time
  std::vector<std::string> lines;
  std::vector<double> samples;  // when
  std::vector<Completion> pendingSnapshots;
  // How many signals had been sent when the last reply was put into shape.
  std::optional<size_t> gatheredWithSignals;

 private:
  // Due time, then order of scheduling (also the id of a watch).
  using Key = std::pair<double, uint64_t>;
  struct Handle;

  Key add(double delay, Callback work, double tolerance);

  double time_ = 0;
  uint64_t nextOrder_ = 0;
  // The work, and a timer's tolerance (negative for work that is no timer).
  std::map<Key, std::pair<Callback, double>> entries_;
  std::map<uint64_t, std::pair<int32_t, Callback>> watches_;
  SessionEndCallback sessionEnd_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_TEST_FAKE_PLATFORM_H_
