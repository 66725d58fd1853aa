#ifndef VELDANE_VELDANEWATCHDOG_HOST_RUN_SPAN_H_
#define VELDANE_VELDANEWATCHDOG_HOST_RUN_SPAN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/workspace.h"
#include "state/host_run_record.h"
#include "state/seconds.h"
#include "state/watchdog_date.h"

namespace veldane {

// When the host's run lived, on the uptime clock: its start as the watch
// took it, and, once it ended without a clean exit, the span from that
// start to the tick that first found it ended. What the ended run left
// behind (a worker it forked) does not count as a running host.
//
//   if (!span.knowsLive(record)) span.sawAlive(record, probes.startUptime(record.pid));
//   span.sawEnded(span.endedAs(record, now, uptime));
class HostRunSpan {
 public:
  struct Ended {
    int32_t pid = 0;
    std::string launchID;
    std::optional<Seconds> startedAt;
    Seconds seenEndedAt{0};

    // Whether `app` was forked by this run rather than started by a user: it
    // leads no group or session of its own named after the run, or it started
    // while the run lived (a worker of a host without a group of its own, one
    // that called setsid(), one behind a wrapper script). A user's new
    // instance starts after the run ended, and writes its own record at once.
    bool forked(const RunningApplication& app) const;

    friend bool operator==(const Ended&, const Ended&) = default;
  };

  // Whether the live run of `record` has its start noted already.
  bool knowsLive(const HostRunRecord& record) const;
  // Notes the start of the live run of `record`, where the system tells it.
  void sawAlive(const HostRunRecord& record, std::optional<Seconds> startedAt);

  // The ended run of `record` as a tick at `now` and `uptime` sees it: the
  // one noted already when it is the same run, else one that starts where the
  // watch took it, or for a run that ended before this watchdog saw it live,
  // at the record's start date (whole seconds, cut down: one second earlier).
  Ended endedAs(const HostRunRecord& record, WatchdogDate now, Seconds uptime) const;
  void sawEnded(Ended ended) { ended_ = std::move(ended); }
  // No ended run: the host is alive, gone cleanly, or unrecorded.
  void sawNoEndedRun() { ended_.reset(); }

  const std::optional<Ended>& ended() const { return ended_; }

 private:
  struct Live {
    int32_t pid = 0;
    std::string launchID;
    std::optional<Seconds> startedAt;
  };
  std::optional<Live> live_;
  std::optional<Ended> ended_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_HOST_RUN_SPAN_H_
