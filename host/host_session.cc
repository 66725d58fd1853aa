#include "host/host_session.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "host/curtain_activity.h"
#include "host/host_location.h"
#include "host/host_namespace_view.h"
#include "host/launch_id.h"
#include "host/relaunch_flags.h"
#include "platform/process_info.h"
#include "platform/uptime_clock.h"
#include "state/host_hang_note.h"
#include "state/host_run_record.h"
#include "state/watchdog_store.h"

namespace veldane::internal {

struct HostSession::State {
  HostLocation location;
  RelaunchFlags flags;
  std::string launchID;
  std::string dataFolder;
  double minimumBeatInterval = 0;
  // The process that started the session, by its own getpid(): the only one
  // whose calls write, so that a forked child never speaks for the run.
  pid_t ownerPid = 0;
  // How far this process's uptime clock runs ahead of the watchdog's.
  double uptimeOffset = 0;

  // Guards the record and orders the writes of host.json.
  std::mutex recordMutex;
  HostRunRecord record;
  // The uptime of the last heartbeat that reached the file; absent after a
  // failed write, so that the next beat tries again at once.
  std::optional<double> writtenBeatUptime;

  std::mutex hangMutex;

  // Held while the curtain is up, under recordMutex; ended with the session.
  CurtainActivity curtainActivity;

  ~State() {
    if (!callerOwns()) curtainActivity.abandon();
  }

  // Checked before any lock: a child forked while another thread held one
  // inherits it held for ever.
  bool callerOwns() const noexcept { return getpid() == ownerPid; }

  // On the watchdog's clock.
  double uptime() const noexcept { return systemUptime().count() - uptimeOffset; }

  // Called with recordMutex held.
  bool writeRecord(bool durable) noexcept {
    try {
      return WatchdogStore::write(record, location.files.hostRecordPath(), durable);
    } catch (...) {
      return false;
    }
  }

  bool recordHeartbeat() noexcept {
    const double now = uptime();
    if (writtenBeatUptime && now - *writtenBeatUptime < minimumBeatInterval) return true;
    record.heartbeatUptime = now;
    record.heartbeatAt = std::chrono::system_clock::now();
    // A heartbeat a second needs no flush: a power loss ends the host anyway.
    const bool written = writeRecord(/*durable=*/false);
    writtenBeatUptime = written ? std::optional<double>(now) : std::nullopt;
    return written;
  }

  template <typename Change>
  bool changeRecord(bool durable, Change change) noexcept {
    if (!callerOwns()) return false;
    try {
      std::lock_guard lock(recordMutex);
      change(record);
      return writeRecord(durable);
    } catch (...) {
      return false;
    }
  }
};

namespace {

// Beside the application in Contents/MacOS, as the bundle's layout has it.
constexpr char kWatchdogExecutableName[] = "VeldaneWatchdog";

// A watchdog of this bundle that this /proc shows (the init of a container
// it leads, or any process of a desktop session that runs inside one) sees
// the pids of this /proc's namespace, or of one inside it, as they are here.
bool ownWatchdogInThisProc(const HostLocation& location) {
  const std::string watchdog = WatchdogFiles::normalized(location.bundlePath + "/Contents/MacOS/" +
                                                         kWatchdogExecutableName);
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    int32_t pid = 0;
    std::from_chars(name.data(), name.data() + name.size(), pid);
    const std::optional<std::string> program = ProcessInfo::executablePath(pid);
    if (program && WatchdogFiles::normalized(*program) == watchdog) {
      return true;
    }
  }
  return false;
}

}  // namespace

HostSession::HostSession(std::unique_ptr<State> state) : state_(std::move(state)) {}

HostSession::~HostSession() = default;

std::unique_ptr<HostSession> HostSession::start(int argc, const char* const* argv,
                                                const HostStartOptions& options,
                                                std::string* failure) noexcept {
  try {
    std::string reason;
    // The record names the process and its uptime as the watchdog sees them.
    const std::optional<HostNamespaceView> view = HostNamespaceView::find(reason);
    std::optional<HostLocation> location =
        view ? HostLocation::find(options, view->pid, reason) : std::nullopt;
    if (location && view->innerMount && !ownWatchdogInThisProc(*location)) {
      reason = *view->innerMount;
      location.reset();
    }
    std::optional<std::string> launchID = location ? makeLaunchID() : std::nullopt;
    if (location && !launchID) reason = "no random bytes for a launch ID";
    if (!location || !launchID) {
      if (failure) *failure = reason;
      return nullptr;
    }

    auto state = std::make_unique<State>();
    state->location = std::move(*location);
    state->flags = RelaunchFlags::parse(argc, argv);
    state->launchID = *launchID;
    state->dataFolder = state->location.files.directory().string();
    state->minimumBeatInterval = std::chrono::duration<double>(options.minimumBeatInterval).count();
    state->ownerPid = getpid();
    state->uptimeOffset = view->uptimeOffset;

    HostRunRecord& record = state->record;
    record.pid = view->pid;
    record.launchID = state->launchID;
    record.bootSession = ProcessInfo::bootSession();
    record.executablePath = state->location.executablePath;
    record.startedAt = std::chrono::system_clock::now();
    record.heartbeatUptime = state->uptime();
    record.heartbeatAt = record.startedAt;
    record.safeMode = state->flags.safeMode;

    // The previous run's record stays until this write lands; written at once
    // so that the watchdog stops judging that run. Its failure is the
    // application's to notice on the next call, not a reason to refuse.
    if (state->writeRecord(/*durable=*/true)) state->writtenBeatUptime = record.heartbeatUptime;
    return std::unique_ptr<HostSession>(new HostSession(std::move(state)));
  } catch (...) {
    return nullptr;
  }
}

bool HostSession::beat() noexcept {
  if (!state_->callerOwns()) return false;
  // A thread that holds the lock is writing the record right now; the next
  // beat comes soon enough, and the caller's loop must not wait for a flush.
  std::unique_lock lock(state_->recordMutex, std::try_to_lock);
  if (!lock.owns_lock()) return true;
  return state_->recordHeartbeat();
}

bool HostSession::setCurtainUp(bool up) noexcept {
  // Before the record says so: App Nap would stretch the beats past the
  // curtain's few seconds.
  return state_->changeRecord(false, [this, up](HostRunRecord& record) {
    state_->curtainActivity.set(up);
    record.curtainUp = up;
  });
}

bool HostSession::setAwayCoverUp(bool up) noexcept {
  return state_->changeRecord(false, [up](HostRunRecord& record) { record.awayCoverUp = up; });
}

bool HostSession::markCleanExit() noexcept {
  return state_->changeRecord(true, [](HostRunRecord& record) { record.cleanExit = true; });
}

bool HostSession::resetCrashLoop() noexcept {
  const double uptime = state_->uptime();
  return state_->changeRecord(true, [uptime](HostRunRecord& record) {
    record.crashLoopResetAt = std::chrono::system_clock::now();
    record.crashLoopResetUptime = uptime;
  });
}

bool HostSession::noteHang(double stalledSeconds) noexcept {
  if (!state_->callerOwns()) return false;
  try {
    HostHangNote note{state_->launchID, std::chrono::system_clock::now(), stalledSeconds};
    std::lock_guard lock(state_->hangMutex);
    return WatchdogStore::write(note, state_->location.files.hangNotePath());
  } catch (...) {
    return false;
  }
}

const std::string& HostSession::launchID() const noexcept { return state_->launchID; }
const std::string& HostSession::bundlePath() const noexcept { return state_->location.bundlePath; }
const std::string& HostSession::bundleIdentifier() const noexcept {
  return state_->location.bundleIdentifier;
}
const std::string& HostSession::dataFolder() const noexcept { return state_->dataFolder; }
bool HostSession::recovered() const noexcept { return state_->flags.recovered; }
bool HostSession::safeMode() const noexcept { return state_->flags.safeMode; }

}  // namespace veldane::internal
