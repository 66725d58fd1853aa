#include "VeldaneWatchdog/host_run_span.h"

#include <utility>

namespace veldane {

bool HostRunSpan::Ended::forked(const RunningApplication& app) const {
  if (app.processGroup == pid || app.session == pid) return true;
  return app.startUptime && startedAt && *app.startUptime >= *startedAt &&
         *app.startUptime <= seenEndedAt;
}

bool HostRunSpan::knowsLive(const HostRunRecord& record) const {
  return live_ && live_->pid == record.pid && live_->launchID == record.launchID;
}

void HostRunSpan::sawAlive(const HostRunRecord& record, std::optional<Seconds> startedAt) {
  live_ = Live{record.pid, record.launchID, startedAt};
}

HostRunSpan::Ended HostRunSpan::endedAs(const HostRunRecord& record, WatchdogDate now,
                                        Seconds uptime) const {
  if (ended_ && ended_->pid == record.pid && ended_->launchID == record.launchID) return *ended_;
  Ended ended{record.pid, record.launchID, std::nullopt, uptime};
  if (knowsLive(record)) {
    ended.startedAt = live_->startedAt;
  } else {
    const Seconds ago = now - record.startedAt;
    if (ago >= Seconds(0)) ended.startedAt = uptime - ago - Seconds(1.0);
  }
  return ended;
}

}  // namespace veldane
