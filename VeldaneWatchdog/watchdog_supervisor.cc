#include "VeldaneWatchdog/watchdog_supervisor.h"

#include <chrono>
#include <string_view>
#include <utility>
#include <variant>

#include "state/host_hang_note.h"
#include "state/watchdog_data_root.h"
#include "state/unicode_text.h"
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
  s.executablePath_ = executablePath;
  s.executableIdentity_ = platform.probes.fileIdentity(executablePath);
  s.files_ = WatchdogFiles::forBundle(*root.directory, s.bundleIdentifier_, s.bundlePath_);
  s.hostRecordPath_ = s.files_.hostRecordPath();
  s.hangNotePath_ = s.files_.hangNotePath();
  s.ledgerPath_ = s.files_.ledgerPath();
  s.lockPath_ = s.files_.lockPath();
  s.hangReportPath_ = s.files_.hangReportPath();
  s.ledger_ = WatchdogStore::read<WatchdogLedger>(s.ledgerPath_).value_or(WatchdogLedger{});
  s.judgedLedger_ = s.ledger_;
  return supervisor;
}

void WatchdogSupervisor::run() {
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  observers_.push_back(
      platform_.loop.observeSessionEnd([weak](MainLoop::SessionEndNotice notice) {
        if (auto self = weak.lock()) self->onSessionEnd(notice);
      }));
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
constexpr double kEndCalledOffAfter = 60.0;

void WatchdogSupervisor::onSessionEnd(MainLoop::SessionEndNotice notice) {
  using Kind = MainLoop::SessionEndNotice::Kind;
  const bool ending = notice.kind == Kind::powerOff || notice.kind == Kind::logout;
  if (notice.kind == Kind::powerOff || notice.kind == Kind::powerOffCancelled) {
    machineEnding_ = ending;
  } else {
    sessionEnding_ = ending;
  }
  const bool wasShuttingDown = shuttingDown_;
  shuttingDown_ = machineEnding_ || sessionEnding_;
  if (!ending) {
    if (wasShuttingDown && !shuttingDown_) endOfSessionCalledOff();
    return;
  }
  if (!notice.cancelIsAnnounced) {
    std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
    shutdownExpiry_ = platform_.loop.oneShotTimer(kEndCalledOffAfter, 1.0, [weak] {
      auto self = weak.lock();
      if (!self || !self->shuttingDown_) return;
      self->machineEnding_ = self->sessionEnding_ = self->shuttingDown_ = false;
      self->endOfSessionCalledOff();
    });
  }
  // A relaunch left pending would be carried out by the watchdog of the next
  // login, for a host that the end of the session stopped.
  if (ledger_.pendingRelaunch) {
    droppedRelaunch_ = std::move(ledger_.pendingRelaunch);
    ledger_.pendingRelaunch.reset();
    saveLedger();
  }
}

// The session goes on: the relaunch that the announcement dropped is due again.
void WatchdogSupervisor::endOfSessionCalledOff() {
  shutdownExpiry_.reset();
  if (!droppedRelaunch_) return;
  ledger_.pendingRelaunch = std::move(droppedRelaunch_);
  droppedRelaunch_.reset();
  saveLedger();
}

void WatchdogSupervisor::schedule(double after) {
  const double tolerance = after * 0.25;
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

bool WatchdogSupervisor::helperWasUpdated() {
  if (!executableIdentity_) return false;
  std::optional<FileIdentity> current = platform_.probes.fileIdentity(executablePath_);
  // A file caught in the middle of being replaced is looked at again next
  // tick; one still missing then was moved, renamed or deleted with its
  // bundle, and the job manager is to start whatever is there now.
  if (!current) return ++ownFileMissingTicks_ >= 2;
  ownFileMissingTicks_ = 0;
  return *current != *executableIdentity_;
}

// False while another watchdog holds this data folder: this one then ticks
// nothing but the update check until it takes over. Where no lock can be had
// at all (a read-only folder), it acts rather than leave the host unwatched.
bool WatchdogSupervisor::mayAct() {
  if (lock_.held()) return true;
  const WatchdogLock::Result lock = takeLock();
  if (lock == WatchdogLock::Result::heldElsewhere) {
    if (!waitingForLock_) {
      platform_.log.log(LogLevel::standard,
                        "Another watchdog is watching " + bundlePath_ + "; waiting until it stops");
      waitingForLock_ = true;
    }
    return false;
  }
  if (waitingForLock_ && lock_.held()) {
    // Taking over: the ledger is what the other watchdog last wrote.
    waitingForLock_ = false;
    ledger_ = WatchdogStore::read<WatchdogLedger>(ledgerPath_).value_or(WatchdogLedger{});
    judgedLedger_ = ledger_;
  }
  return true;
}

WatchdogLock::Result WatchdogSupervisor::takeLock() {
  const WatchdogLock::Result lock = lock_.tryAcquire(lockPath_);
  if (lock == WatchdogLock::Result::held) {
    // What writes cut short by a kill left: every one of the ledger's and the
    // hang report's, which only the lock's holder writes, and the host's that
    // are clearly old.
    using std::chrono::minutes, std::chrono::seconds;
    WatchdogStore::removeTemporaryFiles(ledgerPath_, seconds(-1));
    WatchdogStore::removeTemporaryFiles(hangReportPath_, seconds(-1));
    WatchdogStore::removeTemporaryFiles(hostRecordPath_, minutes(1));
    WatchdogStore::removeTemporaryFiles(hangNotePath_, minutes(1));
  }
  return lock;
}

// Whether this tick is about to do more than look: signal, log a decision,
// write the ledger or start a launch.
bool WatchdogSupervisor::actsOn(const WatchdogDecision& decision) const {
  return !std::holds_alternative<WatchdogDecision::None>(decision.value) ||
         ledger_ != judgedLedger_ || (ledger_.pendingRelaunch && !launchInFlight_);
}

// The lock's file may have gone with its folder (application data reset, a
// backup restored with deletion) and a waiting watchdog may hold a new one at
// the same path by now. Looked at only before acting, so a steady tick costs
// nothing more; an inotify watch would, besides a descriptor, miss a folder
// moved away, which leaves the file whole.
bool WatchdogSupervisor::lockStillHeld() {
  if (waitingForLock_) return false;
  if (lock_.isAt(lockPath_)) return true;
  lock_.release();
  const std::string lost = "The lock file " + lockPath_.string() + " was deleted or replaced";
  const WatchdogLock::Result lock = takeLock();
  if (lock != WatchdogLock::Result::heldElsewhere) {
    platform_.log.log(
        LogLevel::standard,
        lost + (lock == WatchdogLock::Result::held
                    ? "; locked it again"
                    : "; it cannot be locked again, so this watchdog acts without it"));
    // A ledger other than the one last written there means that another
    // watchdog acted meanwhile: this judgement is left for the next tick.
    std::optional<WatchdogLedger> written = WatchdogStore::read<WatchdogLedger>(ledgerPath_);
    if (!written || *written == judgedLedger_) return true;
    ledger_ = judgedLedger_ = std::move(*written);
    return false;
  }
  // Stepping down: what this watchdog judged is the other one's to judge now.
  platform_.log.log(LogLevel::standard,
                    lost + ", and another watchdog holds it now; waiting until it stops");
  waitingForLock_ = true;
  ledger_ = judgedLedger_;
  launchInFlight_ = false;
  processSource_.reset();
  watchedPID_ = 0;
  cpuBaseline_.reset();
  return false;
}

bool WatchdogSupervisor::recordProcessAlive(const HostRunRecord& record) {
  std::optional<std::string> found = platform_.probes.executablePath(record.pid);
  if (!found) return false;
  const std::string& path = livePath_ = std::move(*found);
  // Equal paths normalize alike; only paths that differ need the work.
  const bool samePath =
      path == record.executablePath ||
      platform_.probes.samePath(WatchdogFiles::normalized(path),
                                WatchdogFiles::normalized(record.executablePath)) ||
      runsFromMovedBundle(record, path);
  // Another user's copy of the host at a reused pid is not this host. The
  // exit watch holds the very process that was found to be this user's, so a
  // watched pid costs a steady tick no second look.
  return samePath && ((processSource_ && watchedPID_ == record.pid) ||
                      platform_.probes.isCurrentUsersProcess(record.pid));
}

// An updater that moves the running bundle aside ("App.app.old", the trash)
// and puts the new version in its place leaves the host running from there.
// It is still the process that wrote the record when it started before the
// record's last heartbeat (a pid taken over after the host ended starts
// later), and the same program of its bundle.
bool WatchdogSupervisor::runsFromMovedBundle(const HostRunRecord& record,
                                             const std::string& livePath) {
  constexpr std::string_view kPrograms = "/Contents/MacOS/";
  // The start time counts in ticks of 10 ms, cut down.
  constexpr double kStartGrain = 0.01;
  const std::string live = WatchdogFiles::normalized(livePath);
  const std::string recorded = WatchdogFiles::normalized(record.executablePath);
  const size_t liveAt = live.rfind(kPrograms);
  const size_t recordedAt = recorded.rfind(kPrograms);
  if (liveAt == std::string::npos || recordedAt == std::string::npos ||
      !platform_.probes.samePath(std::string_view(live).substr(liveAt),
                                 std::string_view(recorded).substr(recordedAt))) {
    return false;
  }
  const std::optional<double> started = platform_.probes.startUptime(record.pid);
  return started && *started < record.heartbeatUptime - kStartGrain;
}

// A worker that the ended run forked is no instance that a user started: it
// leads no group or session of its own named after the run, or it started
// while the run lived (a worker of a host without a group of its own, one
// that called setsid(), one behind a wrapper script). A user's new instance
// starts after the run ended, and writes its own record at once.
bool WatchdogSupervisor::forkedByEndedRun(const RunningApplication& app) const {
  if (!endedRun_) return false;
  if (app.processGroup == endedRun_->pid || app.session == endedRun_->pid) return true;
  return app.startUptime && endedRun_->startedAt && *app.startUptime >= *endedRun_->startedAt &&
         *app.startUptime <= endedRun_->seenEndedAt;
}

// A listed application may be one that has ended: the system's list lags
// behind (macOS updates it on a later turn of the main run loop), and the
// ended run's own pid is never another instance. Each is confirmed alive by
// its pid and the program it runs before it defers a relaunch.
bool WatchdogSupervisor::countsAsInstance(const RunningApplication& app,
                                          const std::string& programFolder) {
  if (app.terminated || (endedRun_ && app.pid == endedRun_->pid) || forkedByEndedRun(app)) {
    return false;
  }
  std::optional<std::string> found = platform_.probes.executablePath(app.pid);
  if (!found) return false;
  const std::string program = WatchdogFiles::normalized(*found);
  return program.size() > programFolder.size() &&
         platform_.probes.samePath(std::string_view(program).substr(0, programFolder.size()),
                                   programFolder);
}

bool WatchdogSupervisor::hostRunningFromBundle() {
  const std::string programs = bundlePath_ + "/";
  for (const RunningApplication& app : platform_.workspace.runningApplications(bundleIdentifier_)) {
    if (!app.bundlePath ||
        !platform_.probes.samePath(WatchdogFiles::normalized(*app.bundlePath), bundlePath_)) {
      continue;
    }
    if (countsAsInstance(app, programs)) return true;
  }
  // Behind a wrapper script the application runs another program of the
  // bundle, which its run record names.
  if (recordedProgram_.empty()) return false;
  for (const RunningApplication& app : platform_.workspace.processesRunning(recordedProgram_)) {
    if (countsAsInstance(app, programs)) return true;
  }
  return false;
}

// Keeps the span of the ended run's life: its start as the watch took it, or,
// for a run that ended before this watchdog saw it live, from the record's
// start date (whole seconds, cut down: one second earlier).
void WatchdogSupervisor::noteEndedRun(const HostRunRecord& record) {
  if (endedRun_ && endedRun_->pid == record.pid && endedRun_->launchID == record.launchID) return;
  EndedRun ended{record.pid, record.launchID, std::nullopt, observation_.uptime};
  if (liveRun_ && liveRun_->pid == record.pid && liveRun_->launchID == record.launchID) {
    ended.startedAt = liveRun_->startedAt;
  } else {
    const double ago = std::chrono::duration<double>(observation_.now - record.startedAt).count();
    if (ago >= 0) ended.startedAt = observation_.uptime - ago - 1.0;
  }
  endedRun_ = std::move(ended);
}

// Asked only of a host already past its hang limit, so a steady tick costs
// nothing more: with no room in its folder the host cannot write its beats,
// and their silence says nothing of it.
bool WatchdogSupervisor::heartbeatCannotBeWritten(const HostRunRecord& record, double uptime) {
  const double limit = policy_.hangLimit(record);
  if (record.cleanExit || !(uptime - record.heartbeatUptime > limit)) {
    fullFolderLogged_ = false;
    return false;
  }
  if (platform_.probes.hasRoomToWrite(files_.directory.string())) {
    fullFolderLogged_ = false;
    return false;
  }
  if (!fullFolderLogged_) {
    platform_.log.log(LogLevel::error, "No room to write in " + files_.directory.string() +
                                           "; the host's silent heartbeat is not taken for a hang");
    fullFolderLogged_ = true;
  }
  return true;
}

void WatchdogSupervisor::tick() {
  std::optional<double> next = 2.0;
  try {
    next = observeAndAct();
  } catch (...) {
    // A failed allocation, most likely: what the tick changed stays in
    // memory (a decided relaunch as pending), and the next tick goes on.
  }
  if (next) schedule(*next);
}

std::optional<double> WatchdogSupervisor::observeAndAct() {
  if (helperWasUpdated()) {
    platform_.log.log(LogLevel::standard,
                      "Helper was updated; exiting so launchd starts the new version");
    platform_.loop.exitProcess(0);
    return std::nullopt;
  }
  if (!mayAct()) return 2.0;

  WatchdogObservation& observation = observation_;
  observation.record = WatchdogStore::read<HostRunRecord>(hostRecordPath_);
  const std::optional<HostRunRecord>& record = observation.record;
  const bool alive = record && recordProcessAlive(*record);

  if (alive) {
    if (!liveRun_ || liveRun_->pid != record->pid || liveRun_->launchID != record->launchID) {
      liveRun_ = LiveRun{record->pid, record->launchID, platform_.probes.startUptime(record->pid)};
    }
    watch(record->pid);
  } else if (watchedPID_ != 0) {
    processSource_.reset();
    watchedPID_ = 0;
  }

  observation.ownedBundlePath = bundlePath_;
  observation.recordProcessAlive = alive;
  observation.recordProcessTraced = alive && platform_.probes.isTraced(record->pid);
  const bool crashCandidate = record && !alive && !record->cleanExit;
  observation.now = platform_.probes.now();
  observation.uptime = platform_.probes.uptime();
  if (crashCandidate) {
    noteEndedRun(*record);
  } else if (endedRun_) {
    endedRun_.reset();
  }
  recordedProgram_.clear();
  if (crashCandidate) {
    // Only a program inside the bundle, and never the watchdog itself.
    std::string program = WatchdogFiles::normalized(record->executablePath);
    if (program.starts_with(bundlePath_ + "/") &&
        program != WatchdogFiles::normalized(executablePath_)) {
      recordedProgram_ = std::move(program);
    }
  }
  observation.otherInstanceRunning = crashCandidate && hostRunningFromBundle();
  observation.bootSession = bootSession_;
  observation.shuttingDown = shuttingDown_;
  observation.launchInFlight = launchInFlight_;
  observation.hangKillIssued =
      record && hangKillIssuedFor_ && UnicodeText::equal(*hangKillIssuedFor_, record->launchID);
  if (alive && !observation.recordProcessTraced && !observation.hangKillIssued) {
    sampleSuspectedHost(*record);
  } else if (cpuBaseline_) {
    cpuBaseline_.reset();
  }
  observation.heartbeatCannotBeWritten = alive && !observation.recordProcessTraced &&
                                         !observation.hangKillIssued &&
                                         heartbeatCannotBeWritten(*record, observation.uptime);
  observation.hangNoteLaunchID.reset();
  if (crashCandidate) {
    if (auto note = WatchdogStore::read<HostHangNote>(hangNotePath_)) {
      observation.hangNoteLaunchID = std::move(note->launchID);
    }
  }

  WatchdogDecision decision = policy_.decide(observation, ledger_);
  // Written with the judgement, so that a watchdog stopped before the launch
  // leaves it to the next one rather than a run marked handled and no host.
  if (const std::vector<std::string>* arguments = launchArguments(decision)) {
    ledger_.pendingRelaunch = *arguments;
  }
  if (actsOn(decision) && !lockStillHeld()) return 2.0;
  saveLedger();

  execute(decision, record);
  resumePendingRelaunch(alive);

  if (!alive) return 2.0;
  return record->curtainUp ? 1.0 : 3.0;
}

// A write that failed (a full or read-only folder) is tried again on every
// tick until it lands: a restart must not judge an exit twice.
void WatchdogSupervisor::saveLedger() {
  if (ledger_ == judgedLedger_) return;
  if (WatchdogStore::write(ledger_, ledgerPath_)) judgedLedger_ = ledger_;
}

// Costs a steady tick two comparisons; only a host already silent for half
// its limit has its threads' CPU times read, once per silence.
void WatchdogSupervisor::sampleSuspectedHost(const HostRunRecord& record) {
  const double limit = policy_.hangLimit(record);
  const double stalled = observation_.uptime - record.heartbeatUptime;
  if (record.cleanExit || !(stalled > limit / 2)) {
    // Beating again: a later silence gets a sample of its own.
    if (cpuBaseline_) cpuBaseline_.reset();
    return;
  }
  // Past the limit this tick judges it a hang; a sample now would measure nothing.
  if (stalled <= limit) takeCpuSample(record);
}

void WatchdogSupervisor::takeCpuSample(const HostRunRecord& record) {
  const bool sampled =
      cpuBaseline_ && cpuBaseline_->pid == record.pid && cpuBaseline_->launchID == record.launchID;
  if (sampled) return;
  cpuBaseline_ = CpuBaseline{record.pid, record.launchID, observation_.uptime,
                             platform_.hangs.sampleCpu(record.pid)};
}

void WatchdogSupervisor::watch(int32_t pid) {
  if (pid == watchedPID_) return;
  processSource_.reset();
  watchedPID_ = pid;
  if (pid < 1) return;
  std::weak_ptr<WatchdogSupervisor> weak = weak_from_this();
  processSource_ = platform_.loop.watchProcessExit(pid, [weak] {
    if (auto self = weak.lock()) self->onWatchedProcessExit();
  });
}

void WatchdogSupervisor::onWatchedProcessExit() {
  processSource_.reset();
  watchedPID_ = 0;
  tick();
}

}  // namespace veldane
