#ifndef VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_
#define VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeldaneWatchdog/data_folder_lock.h"
#include "VeldaneWatchdog/early_cpu_sample.h"
#include "VeldaneWatchdog/exit_watch.h"
#include "VeldaneWatchdog/hang_kill.h"
#include "VeldaneWatchdog/host_launch.h"
#include "VeldaneWatchdog/host_run_span.h"
#include "VeldaneWatchdog/own_executable.h"
#include "VeldaneWatchdog/session_end.h"
#include "platform/watchdog_platform.h"
#include "policy/watchdog_decision.h"
#include "policy/watchdog_observation.h"
#include "policy/watchdog_policy.h"
#include "state/seconds.h"
#include "state/watchdog_files.h"
#include "state/watchdog_ledger.h"

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

  // For tests.
  const WatchdogLedger& ledger() const { return ledger_; }
  bool launchUnderWay() const { return launch_.underWay(); }
  bool shuttingDown() const { return sessionEnd_.ending(); }
  int32_t watchedPID() const { return exitWatch_.pid(); }
  // Longest time from judging a hang to the signal, spent on the snapshot.
  static constexpr Seconds kSnapshotBudget{0.5};

 private:
  struct Token {};

 public:
  WatchdogSupervisor(Token, WatchdogPlatform platform) : platform_(platform) {}

 private:
  // What one tick saw: the policy's input, and what the supervisor keeps of it.
  struct Sight {
    WatchdogObservation observation;
    // A live run seen for the first time, and its start where the system tells it.
    bool firstSeenAlive = false;
    std::optional<Seconds> liveStartedAt;
    // A run that ended without a clean exit, and the program of the bundle
    // that its record names (empty for none).
    std::optional<HostRunSpan::Ended> endedRun;
    std::string recordedProgram;
    // Alive, untraced and not already ended for a hang: a host that may hang.
    bool mayHang = false;
  };

  void tick();
  // The tick's work; the delay to the next tick, or absent once the process ends.
  std::optional<Seconds> tickOnce();
  Sight observe();
  void keepInStep(const Sight& sight);
  // False when the tick stops before acting: the lock was lost.
  bool act(const WatchdogDecision& decision, const Sight& sight);
  static Seconds nextTickIn(const WatchdogObservation& observation);
  void schedule(Seconds after);

  // Takes the data folder when it is free; false while another watchdog
  // holds it, when this one ticks nothing but the update check.
  bool holdDataFolder();
  // False when this watchdog no longer holds the lock at its path; then it
  // has taken the lock again with another ledger, or stepped down to wait.
  bool lockStillHeld();
  bool actsOn(const WatchdogDecision& decision) const;
  bool hostRunningFromBundle(const std::optional<HostRunSpan::Ended>& endedRun,
                             const std::string& recordedProgram);
  bool countsAsInstance(const RunningApplication& app, const std::string& programFolder,
                        const std::optional<HostRunSpan::Ended>& endedRun);
  bool heartbeatCannotBeWritten(const HostRunRecord& record, Seconds uptime);
  void onWatchedProcessExit();

  void saveLedger();
  void onSessionEnd(MainLoop::SessionEndNotice notice);
  void endOfSessionCalledOff();

  void execute(const WatchdogDecision& decision, const Sight& sight);
  void killHungHost(int32_t pid, const Sight& sight);
  void finishHangKill(HangKill::Judged kill, std::optional<HangInspector::Gathered> gathered);

  void resumePendingRelaunch(const Sight& sight);
  void startLaunch(std::vector<std::string> arguments, const Sight& sight);
  void scheduleOpening();
  void afterLaunchStep(Seconds delay, void (WatchdogSupervisor::*step)());
  void openHost();
  void openFinished(const std::optional<std::string>& error);
  void retryLaunch();
  void relaunchEnded();

  WatchdogPlatform platform_;
  std::string bundlePath_;
  std::string bundleIdentifier_;
  WatchdogFiles files_;
  std::string bootSession_;
  WatchdogPolicy policy_;
  OwnExecutable ownExecutable_;
  DataFolderLock lock_;
  WatchdogLedger ledger_;
  // The ledger as last written, so that a tick sees whether it changed (or
  // a write failed) without copying it every time.
  WatchdogLedger writtenLedger_;
  std::unique_ptr<MainLoop::Timer> timer_;
  ExitWatch exitWatch_;
  HostRunSpan runSpan_;
  EarlyCpuSample cpuSample_;
  HangKill hangKill_;
  HostLaunch launch_;
  SessionEnd sessionEnd_;
  // Said once while the host's data folder stays full.
  bool fullFolderLogged_ = false;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_WATCHDOG_SUPERVISOR_H_
