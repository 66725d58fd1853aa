// Carrying out the policy's decisions: ending a hung host and launching it.
#include <csignal>
#include <string>
#include <utility>
#include <variant>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "state/unicode_text.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

constexpr int64_t kLaunchAttempts = 3;
constexpr double kLaunchDelay = 1.0;
constexpr double kRetryDelay = 5.0;

const std::vector<std::string>& relaunchArguments() {
  static const std::vector<std::string> arguments{"--veldane-recovered"};
  return arguments;
}

const std::vector<std::string>& safeModeArguments() {
  static const std::vector<std::string> arguments{"--veldane-recovered", "--veldane-safe-mode"};
  return arguments;
}

std::string kindText(WatchdogExitKind kind) { return std::string(rawValue(kind)); }

bool isRelaunchArguments(const std::vector<std::string>& arguments) {
  return arguments == relaunchArguments() || arguments == safeModeArguments();
}

// A launch step that throws (a failed allocation) ends the launch; a relaunch
// still pending in the ledger is started again by the next tick.
template <typename Step>
void orEndLaunch(bool& launchInFlight, Step step) {
  try {
    step();
  } catch (...) {
    launchInFlight = false;
  }
}

template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// Clang before 17 deduces no aggregate's template arguments by itself.
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

const std::vector<std::string>* WatchdogSupervisor::launchArguments(
    const WatchdogDecision& decision) {
  if (std::holds_alternative<WatchdogDecision::Relaunch>(decision.value)) {
    return &relaunchArguments();
  }
  if (std::holds_alternative<WatchdogDecision::StopAfterRepeatedCrashes>(decision.value)) {
    return &safeModeArguments();
  }
  return nullptr;
}

void WatchdogSupervisor::execute(const WatchdogDecision& decision,
                                 const std::optional<HostRunRecord>& record) {
  LogChannel& log = platform_.log;
  std::visit(Overloaded{
                 [&](const WatchdogDecision::KillHungHost& d) { killHungHost(d.pid, record); },
                 [&](const WatchdogDecision::Relaunch& d) {
                   log.log(LogLevel::error,
                           "Host ended unexpectedly (" + kindText(d.kind) + "); relaunching");
                   launch(relaunchArguments(), kLaunchAttempts);
                 },
                 [&](const WatchdogDecision::StopAfterRepeatedCrashes& d) {
                   log.log(LogLevel::error, "Host ended unexpectedly (" + kindText(d.kind) +
                                                ") again; stopping after repeated crashes");
                   launch(safeModeArguments(), kLaunchAttempts);
                 },
                 [&](const WatchdogDecision::EndedWhileStopped& d) {
                   log.log(LogLevel::error,
                           "Host ended (" + kindText(d.kind) +
                               ") while stopped after repeated crashes; not relaunching");
                 },
                 [](const WatchdogDecision::None&) {},
             },
             decision.value);
}

void WatchdogSupervisor::killHungHost(int32_t pid, const std::optional<HostRunRecord>& record) {
  hangKillIssuedFor_ = record ? std::optional(record->launchID) : std::nullopt;
  // A record may name any pid; the watchdog never signals itself.
  if (pid == platform_.probes.ownPid()) return;
  platform_.log.log(LogLevel::error, "Host heartbeat stopped; ending pid " + std::to_string(pid) +
                                         " so it can be relaunched");

  // What the host was doing, before the signal and for at most the budget.
  PendingKill kill;
  kill.serial = ++killSerial_;
  kill.pid = pid;
  kill.watched = processSource_ && watchedPID_ == pid;
  kill.judgedAt = observation_.uptime;
  HangDiagnosis::Evidence& evidence = kill.evidence;
  evidence.pid = pid;
  evidence.at = observation_.now;
  if (record) {
    evidence.launchID = record->launchID;
    evidence.secondsSilent = observation_.uptime - record->heartbeatUptime;
    evidence.hangLimitSeconds = policy_.hangLimit(*record);
  }
  if (cpuBaseline_ && cpuBaseline_->pid == pid) {
    evidence.sample = std::move(cpuBaseline_->sample);
    evidence.sampleSeconds = observation_.uptime - cpuBaseline_->uptime;
  }
  cpuBaseline_.reset();
  pendingKill_ = std::move(kill);

  const uint64_t serial = killSerial_;
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  // Armed first: the snapshot may finish before it returns.
  snapshotDeadline_ = platform_.loop.oneShotTimer(kSnapshotBudget, 0, [weak, serial] {
    if (auto self = weak.lock()) self->finishHangKill(serial, std::nullopt);
  });
  platform_.hangs.snapshot(pid, kSnapshotBudget, [weak, serial](HangInspector::Gathered gathered) {
    if (auto self = weak.lock()) self->finishHangKill(serial, std::move(gathered));
  });
}

void WatchdogSupervisor::finishHangKill(uint64_t serial,
                                        std::optional<HangInspector::Gathered> gathered) {
  if (!pendingKill_ || pendingKill_->serial != serial) return;  // late, or already done
  PendingKill kill = std::move(*pendingKill_);
  pendingKill_.reset();
  snapshotDeadline_.reset();
  kill.evidence.snapshotSeconds = platform_.probes.uptime() - kill.judgedAt;
  // Through the exit watch, which on Linux holds this very process, so that a
  // pid reused since cannot be hit.
  if (kill.watched) {
    // A watch gone meanwhile means the host has ended by itself.
    if (processSource_ && watchedPID_ == kill.pid) processSource_->sendSignal(SIGKILL);
  } else {
    platform_.probes.kill(kill.pid, SIGKILL);
  }

  // Only now, with the host on its way out, is what was gathered put into shape.
  if (gathered) kill.evidence.snapshot = *gathered ? (*gathered)() : HostHangSnapshot{};
  const WatchdogHangReport report = HangDiagnosis::report(kill.evidence);
  const bool written = WatchdogStore::write(report, hangReportPath_);
  platform_.log.logWithFields(LogLevel::error, HangDiagnosis::message(report),
                              HangDiagnosis::journalFields(report, hangReportPath_.string()));
  // Otherwise the status tool would show an earlier hang as the last one.
  if (!written) {
    platform_.log.log(LogLevel::error,
                      "Cannot write the hang report to " + hangReportPath_.string());
  }
}

// A relaunch that an earlier watchdog decided and did not see through: carried
// out once, unless the host runs again by now. A restart of the machine has
// already dropped it with the rest of the ledger.
void WatchdogSupervisor::resumePendingRelaunch(bool hostAlive) {
  if (!ledger_.pendingRelaunch || launchInFlight_ || shuttingDown_) return;
  if (hostAlive || !isRelaunchArguments(*ledger_.pendingRelaunch)) {
    relaunchEnded();
    return;
  }
  platform_.log.log(LogLevel::standard,
                    "Relaunching the host: a relaunch decided earlier was not carried out");
  launch(*ledger_.pendingRelaunch, kLaunchAttempts);
}

// Opened, found running already, or given up: either way not to be tried again.
void WatchdogSupervisor::relaunchEnded() {
  launchInFlight_ = false;
  ledger_.pendingRelaunch.reset();
  saveLedger();
}

void WatchdogSupervisor::launch(std::vector<std::string> arguments, int64_t attemptsLeft) {
  if (attemptsLeft < 1) {
    relaunchEnded();
    return;
  }
  if (shuttingDown_) {
    launchInFlight_ = false;
    return;
  }
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  platform_.loop.runAfter(kLaunchDelay, [weak, arguments = std::move(arguments), attemptsLeft] {
    auto self = weak.lock();
    if (!self) return;
    orEndLaunch(self->launchInFlight_, [&] { self->openHost(arguments, attemptsLeft); });
  });
  launchInFlight_ = true;
}

void WatchdogSupervisor::openHost(std::vector<std::string> arguments, int64_t attemptsLeft) {
  if (shuttingDown_ || !lockStillHeld()) {
    launchInFlight_ = false;
    return;
  }
  if (hostRunningFromBundle()) {
    relaunchEnded();
    return;
  }
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  platform_.workspace.openApplication(
      bundlePath_, arguments, [weak, arguments, attemptsLeft](std::optional<std::string> error) {
        auto self = weak.lock();
        if (!self) return;
        orEndLaunch(self->launchInFlight_,
                    [&] { self->openFinished(error, arguments, attemptsLeft); });
      });
}

void WatchdogSupervisor::openFinished(const std::optional<std::string>& error,
                                      std::vector<std::string> arguments, int64_t attemptsLeft) {
  if (!error) {
    relaunchEnded();
    return;
  }
  platform_.log.log(LogLevel::error, "Relaunch failed: " + *error);
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  platform_.loop.runAfter(kRetryDelay, [weak, arguments = std::move(arguments), attemptsLeft] {
    auto self = weak.lock();
    if (!self) return;
    orEndLaunch(self->launchInFlight_, [&] { self->launch(arguments, attemptsLeft - 1); });
  });
}

}  // namespace veldane
