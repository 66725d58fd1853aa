#include "platform/host_liveness.h"

#include <optional>
#include <string>
#include <string_view>

#include "state/watchdog_files.h"

namespace veldane {
namespace {

// An updater that moves the running bundle aside ("App.app.old", the trash)
// and puts the new version in its place leaves the host running from there.
// It is still the process that wrote the record when it started before the
// record's last heartbeat (a pid taken over after the host ended starts
// later), and the same program of its bundle.
bool runsFromMovedBundle(SystemProbes& probes, const HostRunRecord& record,
                         const std::string& livePath) {
  constexpr std::string_view kPrograms = "/Contents/MacOS/";
  // The start time counts in ticks of 10 ms, cut down.
  constexpr Seconds kStartGrain{0.01};
  const std::string live = WatchdogFiles::normalized(livePath);
  const std::string recorded = WatchdogFiles::normalized(record.executablePath);
  const size_t liveAt = live.rfind(kPrograms);
  const size_t recordedAt = recorded.rfind(kPrograms);
  if (liveAt == std::string::npos || recordedAt == std::string::npos ||
      !probes.samePath(std::string_view(live).substr(liveAt),
                       std::string_view(recorded).substr(recordedAt))) {
    return false;
  }
  const std::optional<Seconds> started = probes.startUptime(record.pid);
  return started && *started < Seconds(record.heartbeatUptime) - kStartGrain;
}

}  // namespace

bool HostLiveness::isAlive(SystemProbes& probes, const HostRunRecord& record, bool watched) {
  const std::optional<std::string> path = probes.executablePath(record.pid);
  if (!path) return false;
  // Equal paths normalize alike; only paths that differ need the work.
  const bool samePath = *path == record.executablePath ||
                        probes.samePath(WatchdogFiles::normalized(*path),
                                        WatchdogFiles::normalized(record.executablePath)) ||
                        runsFromMovedBundle(probes, record, *path);
  // Another user's copy of the host at a reused pid is not this host.
  return samePath && (watched || probes.isCurrentUsersProcess(record.pid));
}

}  // namespace veldane
