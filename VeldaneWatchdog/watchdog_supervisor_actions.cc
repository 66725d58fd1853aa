// Carrying out the policy's decisions: ending a hung host and launching it.
#include <csignal>
#include <string>
#include <utility>
#include <variant>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "state/relaunch_flags.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

std::string kindText(WatchdogExitKind kind) { return std::string(rawValue(kind)); }

template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// Clang before 17 deduces no aggregate's template arguments by itself.
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

void WatchdogSupervisor::execute(const WatchdogDecision& decision, const Sight& sight) {
  LogChannel& log = platform_.log;
  std::visit(Overloaded{
                 [&](const WatchdogDecision::KillHungHost& d) { killHungHost(d.pid, sight); },
                 [&](const WatchdogDecision::Relaunch& d) {
                   log.log(LogLevel::error,
                           "Host ended unexpectedly (" + kindText(d.kind) + "); relaunching");
                   startLaunch(RelaunchFlag::afterCrash(), sight);
                 },
                 [&](const WatchdogDecision::StopAfterRepeatedCrashes& d) {
                   log.log(LogLevel::error, "Host ended unexpectedly (" + kindText(d.kind) +
                                                ") again; stopping after repeated crashes");
                   startLaunch(RelaunchFlag::inSafeMode(), sight);
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

void WatchdogSupervisor::killHungHost(int32_t pid, const Sight& sight) {
  const WatchdogObservation& o = sight.observation;
  const std::optional<HostRunRecord>& record = o.record;
  hangKill_.judged(record ? std::optional(record->launchID) : std::nullopt);
  // A record may name any pid; the watchdog never signals itself.
  if (pid == platform_.probes.ownPid()) return;
  platform_.log.log(LogLevel::error, "Host heartbeat stopped; ending pid " + std::to_string(pid) +
                                         " so it can be relaunched");

  // What the host was doing, before the signal and for at most the budget.
  HangKill::Judged kill;
  kill.pid = pid;
  kill.watched = exitWatch_.holds(pid);
  kill.at = o.uptime;
  HangDiagnosis::Evidence& evidence = kill.evidence;
  evidence.pid = pid;
  evidence.at = o.now;
  if (record) {
    evidence.launchID = record->launchID;
    evidence.secondsSilent = WatchdogPolicy::stalledFor(*record, o.uptime).count();
    evidence.hangLimitSeconds = policy_.hangLimit(*record).count();
  }
  if (std::optional<EarlyCpuSample::Taken> early = cpuSample_.takeFor(pid)) {
    evidence.sample = std::move(early->sample);
    evidence.sampleSeconds = (o.uptime - early->at).count();
  }
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  hangKill_.start(platform_.loop, platform_.hangs, std::move(kill), kSnapshotBudget,
                  [weak](HangKill::Judged judged, std::optional<HangInspector::Gathered> gathered) {
                    if (auto self = weak.lock()) {
                      self->finishHangKill(std::move(judged), std::move(gathered));
                    }
                  });
}

void WatchdogSupervisor::finishHangKill(HangKill::Judged kill,
                                        std::optional<HangInspector::Gathered> gathered) {
  kill.evidence.snapshotSeconds = (platform_.probes.uptime() - kill.at).count();
  // Through the exit watch, which on Linux holds this very process, so that a
  // pid reused since cannot be hit. A watch gone meanwhile means the host has
  // ended by itself.
  if (kill.watched) {
    exitWatch_.signal(kill.pid, SIGKILL);
  } else {
    platform_.probes.kill(kill.pid, SIGKILL);
  }

  // Only now, with the host on its way out, is what was gathered put into shape.
  if (gathered) kill.evidence.snapshot = *gathered ? (*gathered)() : HostHangSnapshot{};
  const WatchdogHangReport report = HangDiagnosis::report(kill.evidence);
  const std::filesystem::path reportPath = files_.hangReportPath();
  const bool written = WatchdogStore::write(report, reportPath);
  platform_.log.logWithFields(LogLevel::error, HangDiagnosis::message(report),
                              HangDiagnosis::journalFields(report, reportPath.string()));
  // Otherwise the status tool would show an earlier hang as the last one.
  if (!written) {
    platform_.log.log(LogLevel::error, "Cannot write the hang report to " + reportPath.string());
  }
}

// A relaunch that an earlier watchdog decided and did not see through: carried
// out once, unless the host runs again by now. A restart of the machine has
// already dropped it with the rest of the ledger.
void WatchdogSupervisor::resumePendingRelaunch(const Sight& sight) {
  if (!ledger_.pendingRelaunch || launch_.underWay() || sessionEnd_.ending()) return;
  if (sight.observation.recordProcessAlive || !RelaunchFlag::isRelaunch(*ledger_.pendingRelaunch)) {
    relaunchEnded();
    return;
  }
  platform_.log.log(LogLevel::standard,
                    "Relaunching the host: a relaunch decided earlier was not carried out");
  startLaunch(*ledger_.pendingRelaunch, sight);
}

// Opened, found running already, or given up: either way not to be tried again.
void WatchdogSupervisor::relaunchEnded() {
  launch_.end();
  ledger_.pendingRelaunch.reset();
  saveLedger();
}

void WatchdogSupervisor::startLaunch(std::vector<std::string> arguments, const Sight& sight) {
  launch_.start({std::move(arguments), sight.endedRun, sight.recordedProgram});
  try {
    scheduleOpening();
  } catch (...) {
    launch_.end();
    throw;
  }
}

// The opening after the launch's delay, unless the session is ending.
void WatchdogSupervisor::scheduleOpening() {
  if (sessionEnd_.ending()) {
    launch_.end();
    return;
  }
  afterLaunchStep(HostLaunch::kDelay, &WatchdogSupervisor::openHost);
}

// Runs `step` of the launch under way after `delay`, unless the launch ended
// meanwhile. A step that throws (a failed allocation) ends the launch; a
// relaunch still pending in the ledger is started again by the next tick.
void WatchdogSupervisor::afterLaunchStep(Seconds delay, void (WatchdogSupervisor::*step)()) {
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  platform_.loop.runAfter(delay, [weak, ticket = launch_.ticket(), step] {
    auto self = weak.lock();
    if (!self || !self->launch_.isCurrent(ticket)) return;
    try {
      ((*self).*step)();
    } catch (...) {
      self->launch_.end();
    }
  });
}

void WatchdogSupervisor::openHost() {
  if (sessionEnd_.ending() || !lockStillHeld()) {
    launch_.end();
    return;
  }
  const HostLaunch::Target& target = launch_.target();
  if (hostRunningFromBundle(target.endedRun, target.recordedProgram)) {
    relaunchEnded();
    return;
  }
  launch_.opening();
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  const std::vector<std::string> arguments = target.arguments;
  platform_.workspace.openApplication(
      bundlePath_, arguments, [weak, ticket = launch_.ticket()](std::optional<std::string> error) {
        auto self = weak.lock();
        if (!self || !self->launch_.isCurrent(ticket)) return;
        try {
          self->openFinished(error);
        } catch (...) {
          self->launch_.end();
        }
      });
}

void WatchdogSupervisor::openFinished(const std::optional<std::string>& error) {
  if (!error) {
    relaunchEnded();
    return;
  }
  platform_.log.log(LogLevel::error, "Relaunch failed: " + *error);
  launch_.failed();
  afterLaunchStep(HostLaunch::kRetryDelay, &WatchdogSupervisor::retryLaunch);
}

void WatchdogSupervisor::retryLaunch() {
  if (!launch_.retry()) {
    relaunchEnded();
    return;
  }
  scheduleOpening();
}

}  // namespace veldane
