#include "VeldaneWatchdog/watchdog_supervisor.h"

#include <string_view>
#include <utility>
#include <variant>

#include "platform/host_liveness.h"
#include "state/host_hang_note.h"
#include "state/relaunch_flags.h"
#include "state/watchdog_data_root.h"
#include "state/watchdog_store.h"

namespace veldane {

std::shared_ptr<WatchdogSupervisor> WatchdogSupervisor::create(const std::string& executablePath,
                                                               WatchdogPlatform platform) {
  auto supervisor = std::make_shared<WatchdogSupervisor>(Token{}, platform);
  WatchdogSupervisor& s = *supervisor;
  s.bootSession_ = platform.probes.bootSession();

  std::optional<std::string> bundlePath = WatchdogFiles::hostBundlePath(executablePath);
  if (!bundlePath) return nullptr;
  std::optional<BundleInfo> bundle = platform.bundles.open(*bundlePath);
  if (!bundle || !bundle->identifier ||
      !WatchdogFiles::isUsableBundleIdentifier(*bundle->identifier)) {
    return nullptr;
  }
  // Where the host, sandboxed or not, derives the same folder.
  const WatchdogDataRoot root =
      WatchdogDataRoot::choose(platform.probes.dataFolderFacts(*bundlePath));
  if (!root.directory) return nullptr;

  s.bundlePath_ = *bundlePath;
  s.bundleIdentifier_ = *bundle->identifier;
  s.ownExecutable_ = OwnExecutable(executablePath, platform.probes);
  s.files_ = WatchdogFiles::forBundle(*root.directory, s.bundleIdentifier_, s.bundlePath_);
  s.ledger_ = WatchdogStore::read<WatchdogLedger>(s.files_.ledgerPath()).value_or(WatchdogLedger{});
  s.writtenLedger_ = s.ledger_;
  return supervisor;
}

void WatchdogSupervisor::run() {
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  sessionEnd_.subscribe(platform_.loop, [weak](MainLoop::SessionEndNotice notice) {
    if (auto self = weak.lock()) self->onSessionEnd(notice);
  });
  platform_.log.log(LogLevel::standard, "Watching " + bundlePath_);
  tick();
}

// A logout on macOS ends within loginwindow's limits or not at all: the quit
// that loginwindow sends every application is given 45 s, after which it
// gives the logout up, and an application may cancel it before (its
// applicationShouldTerminate: answering NSTerminateCancel); the session's
// agents, this one among them, are ended once all have quit. A watchdog still
// running 60 s after the notice (the 45 s and a margin for the end of the
// session) therefore saw the logout or power-off called off.
constexpr Seconds kEndCalledOffAfter{60.0};

void WatchdogSupervisor::onSessionEnd(MainLoop::SessionEndNotice notice) {
  switch (sessionEnd_.apply(notice)) {
    case SessionEnd::Change::none:
      return;
    case SessionEnd::Change::calledOff:
      endOfSessionCalledOff();
      return;
    case SessionEnd::Change::announced:
      break;
  }
  if (!notice.cancelIsAnnounced) {
    std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
    sessionEnd_.expireAfter(platform_.loop, kEndCalledOffAfter, [weak] {
      if (auto self = weak.lock()) self->endOfSessionCalledOff();
    });
  }
  // A relaunch left pending would be carried out by the watchdog of the next
  // login, for a host that the end of the session stopped.
  if (ledger_.pendingRelaunch) {
    sessionEnd_.dropRelaunch(std::move(*ledger_.pendingRelaunch));
    ledger_.pendingRelaunch.reset();
    saveLedger();
  }
}

// The session goes on: the relaunch that the announcement dropped is due again.
void WatchdogSupervisor::endOfSessionCalledOff() {
  std::optional<std::vector<std::string>> dropped = sessionEnd_.takeDroppedRelaunch();
  if (!dropped) return;
  ledger_.pendingRelaunch = std::move(dropped);
  saveLedger();
}

void WatchdogSupervisor::schedule(Seconds after) {
  const Seconds tolerance = after * 0.25;
  // Re-arming the one timer moves its pending firing, if any, without a new
  // timer on every tick.
  if (timer_ && timer_->reschedule(after, tolerance)) return;
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  try {
    // Assigning replaces the pending timer, which cancels it: one timer at most.
    timer_ = platform_.loop.oneShotTimer(after, tolerance, [weak] {
      if (auto self = weak.lock()) self->tick();
    });
  } catch (...) {
    timer_.reset();
  }
  if (timer_) return;
  // Without a next tick nobody would look at the host again; the job manager
  // starts a new watchdog instead.
  try {
    platform_.log.log(LogLevel::error, "Cannot arm the next tick; exiting");
  } catch (...) {
  }
  platform_.loop.exitProcess(1);
}

bool WatchdogSupervisor::holdDataFolder() {
  switch (lock_.take(files_)) {
    case DataFolderLock::Taken::held:
    case DataFolderLock::Taken::unavailable:
      return true;
    case DataFolderLock::Taken::startedWaiting:
      platform_.log.log(LogLevel::standard,
                        "Another watchdog is watching " + bundlePath_ + "; waiting until it stops");
      return false;
    case DataFolderLock::Taken::waiting:
      return false;
    case DataFolderLock::Taken::tookOver:
      // The ledger is what the other watchdog last wrote.
      ledger_ = WatchdogStore::read<WatchdogLedger>(files_.ledgerPath()).value_or(WatchdogLedger{});
      writtenLedger_ = ledger_;
      return true;
  }
  return true;
}

// Whether this tick is about to do more than look: signal, log a decision,
// write the ledger or start a launch.
bool WatchdogSupervisor::actsOn(const WatchdogDecision& decision) const {
  return !std::holds_alternative<WatchdogDecision::None>(decision.value) ||
         ledger_ != writtenLedger_ || (ledger_.pendingRelaunch && !launch_.underWay());
}

// Looked at only before acting, so a steady tick costs nothing more; an
// inotify watch would, besides a descriptor, miss a folder moved away, which
// leaves the file whole.
bool WatchdogSupervisor::lockStillHeld() {
  const DataFolderLock::Recheck recheck = lock_.recheck(files_);
  if (recheck == DataFolderLock::Recheck::waiting) return false;
  if (recheck == DataFolderLock::Recheck::held) return true;
  const std::string lost =
      "The lock file " + files_.lockPath().string() + " was deleted or replaced";
  if (recheck != DataFolderLock::Recheck::lostToAnother) {
    platform_.log.log(
        LogLevel::standard,
        lost + (recheck == DataFolderLock::Recheck::lockedAgain
                    ? "; locked it again"
                    : "; it cannot be locked again, so this watchdog acts without it"));
    // A ledger other than the one last written there means that another
    // watchdog acted meanwhile: this judgement is left for the next tick.
    std::optional<WatchdogLedger> written =
        WatchdogStore::read<WatchdogLedger>(files_.ledgerPath());
    if (!written || *written == writtenLedger_) return true;
    ledger_ = writtenLedger_ = std::move(*written);
    return false;
  }
  // Stepping down: what this watchdog judged is the other one's to judge now.
  platform_.log.log(LogLevel::standard,
                    lost + ", and another watchdog holds it now; waiting until it stops");
  ledger_ = writtenLedger_;
  launch_.end();
  exitWatch_.reset();
  cpuSample_.reset();
  return false;
}

// A listed application may be one that has ended: the system's list lags
// behind (macOS updates it on a later turn of the main run loop), and the
// ended run's own pid is never another instance. Each is confirmed alive by
// its pid and the program it runs before it defers a relaunch.
bool WatchdogSupervisor::countsAsInstance(const RunningApplication& app,
                                          const std::string& programFolder,
                                          const std::optional<HostRunSpan::Ended>& endedRun) {
  if (app.terminated || (endedRun && (app.pid == endedRun->pid || endedRun->forked(app)))) {
    return false;
  }
  std::optional<std::string> program = platform_.probes.executablePath(app.pid);
  if (!program) return false;
  *program = WatchdogFiles::normalized(*program);
  return program->size() > programFolder.size() &&
         platform_.probes.samePath(std::string_view(*program).substr(0, programFolder.size()),
                                   programFolder);
}

bool WatchdogSupervisor::hostRunningFromBundle(const std::optional<HostRunSpan::Ended>& endedRun,
                                               const std::string& recordedProgram) {
  const std::string programs = bundlePath_ + "/";
  for (const RunningApplication& app : platform_.workspace.runningApplications(bundleIdentifier_)) {
    if (!app.bundlePath ||
        !platform_.probes.samePath(WatchdogFiles::normalized(*app.bundlePath), bundlePath_)) {
      continue;
    }
    if (countsAsInstance(app, programs, endedRun)) return true;
  }
  // Behind a wrapper script the application runs another program of the
  // bundle, which its run record names.
  if (recordedProgram.empty()) return false;
  for (const RunningApplication& app : platform_.workspace.processesRunning(recordedProgram)) {
    if (countsAsInstance(app, programs, endedRun)) return true;
  }
  return false;
}

// Asked only of a host already past its hang limit, so a steady tick costs
// nothing more: with no room in its folder the host cannot write its beats,
// and their silence says nothing of it.
bool WatchdogSupervisor::heartbeatCannotBeWritten(const HostRunRecord& record, Seconds uptime) {
  if (record.cleanExit ||
      !(WatchdogPolicy::stalledFor(record, uptime) > policy_.hangLimit(record))) {
    return false;
  }
  return !platform_.probes.hasRoomToWrite(files_.directory().string());
}

void WatchdogSupervisor::tick() {
  std::optional<Seconds> next = Seconds(2.0);
  try {
    next = tickOnce();
  } catch (...) {
    // A failed allocation, most likely: what the tick changed stays in
    // memory (a decided relaunch as pending), and the next tick goes on.
  }
  if (next) schedule(*next);
}

std::optional<Seconds> WatchdogSupervisor::tickOnce() {
  if (ownExecutable_.wasReplaced(platform_.probes)) {
    platform_.log.log(LogLevel::standard,
                      "Helper was updated; exiting so launchd starts the new version");
    platform_.loop.exitProcess(0);
    return std::nullopt;
  }
  if (!holdDataFolder()) return Seconds(2.0);
  const Sight sight = observe();
  keepInStep(sight);
  const WatchdogDecision decision = policy_.decide(sight.observation, ledger_);
  if (!act(decision, sight)) return Seconds(2.0);
  return nextTickIn(sight.observation);
}

// Reads the host's record and the system; changes nothing.
WatchdogSupervisor::Sight WatchdogSupervisor::observe() {
  Sight sight;
  WatchdogObservation& o = sight.observation;
  o.record = WatchdogStore::read<HostRunRecord>(files_.hostRecordPath());
  const std::optional<HostRunRecord>& record = o.record;
  // The exit watch holds the very process that was found to be this user's,
  // so a watched pid costs a steady tick no second look.
  const bool alive =
      record && HostLiveness::isAlive(platform_.probes, *record, exitWatch_.holds(record->pid));
  if (alive && !runSpan_.knowsLive(*record)) {
    sight.firstSeenAlive = true;
    sight.liveStartedAt = platform_.probes.startUptime(record->pid);
  }
  o.ownedBundlePath = bundlePath_;
  o.recordProcessAlive = alive;
  o.recordProcessTraced = alive && platform_.probes.isTraced(record->pid);
  const bool crashCandidate = record && !alive && !record->cleanExit;
  o.now = platform_.probes.now();
  o.uptime = platform_.probes.uptime();
  if (crashCandidate) {
    sight.endedRun = runSpan_.endedAs(*record, o.now, o.uptime);
    // Only a program inside the bundle, and never the watchdog itself.
    std::string program = WatchdogFiles::normalized(record->executablePath);
    if (program.starts_with(bundlePath_ + "/") &&
        program != WatchdogFiles::normalized(ownExecutable_.path())) {
      sight.recordedProgram = std::move(program);
    }
  }
  o.otherInstanceRunning =
      crashCandidate && hostRunningFromBundle(sight.endedRun, sight.recordedProgram);
  o.bootSession = bootSession_;
  o.shuttingDown = sessionEnd_.ending();
  o.launchUnderWay = launch_.underWay();
  o.hangKillIssued = record && hangKill_.wasJudged(record->launchID);
  sight.mayHang = alive && !o.recordProcessTraced && !o.hangKillIssued;
  o.heartbeatCannotBeWritten = sight.mayHang && heartbeatCannotBeWritten(*record, o.uptime);
  if (crashCandidate) {
    if (auto note = WatchdogStore::read<HostHangNote>(files_.hangNotePath())) {
      o.hangNoteLaunchID = std::move(note->launchID);
    }
  }
  return sight;
}

// The exit watch, the run's span and the early CPU sample follow what the
// tick saw.
void WatchdogSupervisor::keepInStep(const Sight& sight) {
  const WatchdogObservation& o = sight.observation;
  if (o.recordProcessAlive) {
    const HostRunRecord& record = *o.record;
    if (sight.firstSeenAlive) runSpan_.sawAlive(record, sight.liveStartedAt);
    std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
    exitWatch_.watch(platform_.loop, record.pid, [weak] {
      if (auto self = weak.lock()) self->onWatchedProcessExit();
    });
  } else {
    exitWatch_.reset();
  }
  if (sight.endedRun) {
    runSpan_.sawEnded(*sight.endedRun);
  } else {
    runSpan_.sawNoEndedRun();
  }
  if (!sight.mayHang) {
    cpuSample_.reset();
    return;
  }
  const HostRunRecord& record = *o.record;
  cpuSample_.follow(record, WatchdogPolicy::stalledFor(record, o.uptime), policy_.hangLimit(record),
                    o.uptime, platform_.hangs);
  if (!o.heartbeatCannotBeWritten) {
    fullFolderLogged_ = false;
  } else if (!fullFolderLogged_) {
    platform_.log.log(LogLevel::error, "No room to write in " + files_.directory().string() +
                                           "; the host's silent heartbeat is not taken for a hang");
    fullFolderLogged_ = true;
  }
}

bool WatchdogSupervisor::act(const WatchdogDecision& decision, const Sight& sight) {
  // Written with the judgement, so that a watchdog stopped before the launch
  // leaves it to the next one rather than a run marked handled and no host.
  if (std::holds_alternative<WatchdogDecision::Relaunch>(decision.value)) {
    ledger_.pendingRelaunch = RelaunchFlag::afterCrash();
  } else if (std::holds_alternative<WatchdogDecision::StopAfterRepeatedCrashes>(decision.value)) {
    ledger_.pendingRelaunch = RelaunchFlag::inSafeMode();
  }
  if (actsOn(decision) && !lockStillHeld()) return false;
  saveLedger();
  execute(decision, sight);
  resumePendingRelaunch(sight);
  return true;
}

Seconds WatchdogSupervisor::nextTickIn(const WatchdogObservation& observation) {
  if (!observation.recordProcessAlive) return Seconds(2.0);
  return Seconds(observation.record->curtainUp ? 1.0 : 3.0);
}

// A write that failed (a full or read-only folder) is tried again on every
// tick until it lands: a restart must not judge an exit twice.
void WatchdogSupervisor::saveLedger() {
  if (ledger_ == writtenLedger_) return;
  if (WatchdogStore::write(ledger_, files_.ledgerPath())) writtenLedger_ = ledger_;
}

void WatchdogSupervisor::onWatchedProcessExit() {
  exitWatch_.reset();
  tick();
}

}  // namespace veldane
