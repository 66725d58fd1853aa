#ifndef VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_
#define VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeldaneWatchdog/hang_diagnosis.h"
#include "platform/file_identity.h"
#include "platform/watchdog_platform.h"
#include "policy/watchdog_decision.h"
#include "policy/watchdog_observation.h"
#include "policy/watchdog_policy.h"
#include "state/host_run_record.h"
#include "state/watchdog_files.h"
#include "state/watchdog_ledger.h"
#include "state/watchdog_lock.h"

namespace veldane {

// The one run-time object of the watchdog: it ticks every one to three
// seconds, judges the host through the policy, and ends, relaunches or leaves
// the host as the policy decides. Everything runs on the main thread; every
// callback holds the supervisor weakly.
//
//   auto supervisor = WatchdogSupervisor::create(executablePath, platform);
//   if (!supervisor) { /* not inside a host bundle */ }
//   supervisor->run();  // then run the main loop
class WatchdogSupervisor : public std::enable_shared_from_this<WatchdogSupervisor> {
 public:
  // Absent when the executable is not inside a usable host bundle: no bundle
  // around it, no readable bundle, no bundle identifier, or no per-user
  // application-support folder. Logs nothing and writes nothing.
  static std::shared_ptr<WatchdogSupervisor> create(const std::string& executablePath,
                                                    WatchdogPlatform platform);

  WatchdogSupervisor(const WatchdogSupervisor&) = delete;
  WatchdogSupervisor& operator=(const WatchdogSupervisor&) = delete;

  // Registers the power-off observer, logs the start and ticks once; from
  // then on exactly one tick timer is pending.
  void run();

  // Read-only views for diagnostics and tests.
  const std::string& bundlePath() const { return bundlePath_; }
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  const WatchdogFiles& files() const { return files_; }
  const WatchdogLedger& ledger() const { return ledger_; }
  const std::optional<FileIdentity>& executableIdentity() const { return executableIdentity_; }
  bool launchInFlight() const { return launchInFlight_; }
  bool shuttingDown() const { return shuttingDown_; }
  int32_t watchedPID() const { return watchedPID_; }
  const std::optional<std::string>& hangKillIssuedFor() const { return hangKillIssuedFor_; }
  // Longest time from judging a hang to the signal, spent on the snapshot.
  static constexpr double kSnapshotBudget = 0.5;

 private:
  struct Token {};

 public:
  WatchdogSupervisor(Token, WatchdogPlatform platform) : platform_(platform) {}

 private:
  void tick();
  // The tick's work; the delay to the next tick, or absent once the process ends.
  std::optional<double> observeAndAct();
  void schedule(double after);
  void watch(int32_t pid);
  void onWatchedProcessExit();
  bool helperWasUpdated();
  bool mayAct();
  WatchdogLock::Result takeLock();
  bool actsOn(const WatchdogDecision& decision) const;
  // False when this watchdog no longer holds the lock at its path; then it
  // has taken the lock again with another ledger, or stepped down to wait.
  bool lockStillHeld();
  bool recordProcessAlive(const HostRunRecord& record);
  bool runsFromMovedBundle(const HostRunRecord& record, const std::string& livePath);
  bool countsAsInstance(const RunningApplication& app, const std::string& programFolder);
  bool hostRunningFromBundle();
  void noteEndedRun(const HostRunRecord& record);
  bool forkedByEndedRun(const RunningApplication& app) const;
  bool heartbeatCannotBeWritten(const HostRunRecord& record, double uptime);

  // The host's arguments when `decision` launches it, else null.
  static const std::vector<std::string>* launchArguments(const WatchdogDecision& decision);
  void saveLedger();
  void onSessionEnd(MainLoop::SessionEndNotice notice);
  void endOfSessionCalledOff();
  void resumePendingRelaunch(bool hostAlive);
  void relaunchEnded();

  void execute(const WatchdogDecision& decision, const std::optional<HostRunRecord>& record);
  void killHungHost(int32_t pid, const std::optional<HostRunRecord>& record);
  void sampleSuspectedHost(const HostRunRecord& record);
  void takeCpuSample(const HostRunRecord& record);
  // `gathered` is absent when the snapshot did not finish within its budget.
  void finishHangKill(uint64_t serial, std::optional<HangInspector::Gathered> gathered);
  void launch(std::vector<std::string> arguments, int64_t attemptsLeft);
  void openHost(std::vector<std::string> arguments, int64_t attemptsLeft);
  void openFinished(const std::optional<std::string>& error, std::vector<std::string> arguments,
                    int64_t attemptsLeft);

  WatchdogPlatform platform_;

  std::string bundlePath_;
  std::string bundleIdentifier_;
  WatchdogFiles files_;
  std::string bootSession_;
  WatchdogPolicy policy_;
  std::string executablePath_;
  std::optional<FileIdentity> executableIdentity_;
  WatchdogLedger ledger_;
  // The ledger as last written, so that a tick sees whether it changed (or
  // a write failed) without copying it every time.
  WatchdogLedger judgedLedger_;
  std::optional<std::string> hangKillIssuedFor_;
  bool launchInFlight_ = false;
  // Either end announced and not called off: the machine's or the session's.
  bool shuttingDown_ = false;
  bool machineEnding_ = false;
  bool sessionEnding_ = false;
  // Where the system never says that an end was called off, this says it.
  std::unique_ptr<MainLoop::Timer> shutdownExpiry_;
  // The relaunch that an announced end dropped, for the session if it goes on.
  std::optional<std::vector<std::string>> droppedRelaunch_;
  std::unique_ptr<MainLoop::Timer> timer_;
  std::unique_ptr<MainLoop::ProcessExitWatch> processSource_;
  int32_t watchedPID_ = 0;
  // When the watched host run started, taken once per process it watches.
  struct LiveRun {
    int32_t pid = 0;
    std::string launchID;
    std::optional<double> startedAt;  // uptime
  };
  std::optional<LiveRun> liveRun_;
  // The run that the latest tick found ended without a clean exit, and the
  // span of uptime in which it lived: what it left behind does not count as
  // a running host.
  struct EndedRun {
    int32_t pid = 0;
    std::string launchID;
    std::optional<double> startedAt;
    double seenEndedAt = 0;
  };
  std::optional<EndedRun> endedRun_;
  // Ticks in a row that found no file at the watchdog's own path.
  int ownFileMissingTicks_ = 0;
  // Said once while the host's data folder stays full.
  bool fullFolderLogged_ = false;
  // The program inside the bundle that the ended run's record names.
  std::string recordedProgram_;
  std::vector<std::unique_ptr<MainLoop::Subscription>> observers_;

  // The CPU times of a host whose heartbeat is more than half its limit old,
  // to tell a spinning thread from a blocked one if it is ended.
  struct CpuBaseline {
    int32_t pid = 0;
    std::string launchID;
    double uptime = 0;
    HostCpuSample sample;
  };
  std::optional<CpuBaseline> cpuBaseline_;
  // A hung host being looked at before its signal.
  struct PendingKill {
    uint64_t serial = 0;
    int32_t pid = 0;
    bool watched = false;  // the exit watch held it when the hang was judged
    HangDiagnosis::Evidence evidence;
    double judgedAt = 0;  // uptime
  };
  std::optional<PendingKill> pendingKill_;
  uint64_t killSerial_ = 0;
  std::unique_ptr<MainLoop::Timer> snapshotDeadline_;

  // Made once rather than on every tick.
  std::filesystem::path hostRecordPath_;
  std::filesystem::path hangNotePath_;
  std::filesystem::path ledgerPath_;
  std::filesystem::path lockPath_;
  // One active watchdog per data folder; another one waits for the lock.
  WatchdogLock lock_;
  bool waitingForLock_ = false;
  std::filesystem::path hangReportPath_;
  // Every tick sets each field afresh; kept only so that its strings keep
  // their buffers from tick to tick.
  WatchdogObservation observation_;
  // The host's executable path as the system gives it, for the same reason.
  std::string livePath_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_
