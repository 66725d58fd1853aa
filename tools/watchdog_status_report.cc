#include "tools/watchdog_status_report.h"

#include "policy/watchdog_policy.h"
#include "state/watchdog_exit_kind.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

using nlohmann::json;

json date(const std::optional<WatchdogDate>& value) {
  if (!value) return nullptr;
  std::optional<std::string> text = formatDate(*value);
  return text ? json(*text) : json(nullptr);
}

template <typename T>
json text(const std::optional<T>& value) {
  return value ? json(*value) : json(nullptr);
}

// Null and a problem line unless the file held a valid value.
template <typename T>
bool usable(const StatusFile<T>& file, const char* name, const char* what, json& problems) {
  if (file.value) return true;
  problems.push_back(std::string(name) + (file.exists
                                              ? ": unreadable or not a valid " + std::string(what)
                                              : std::string(": missing")));
  return false;
}

json hostPart(const WatchdogStatusInput& in, const WatchdogPolicy& policy) {
  const HostRunRecord& record = *in.record.value;
  const bool alive = in.recordProcessAlive;
  const bool thisBoot = WatchdogPolicy::isThisBoot(record.bootSession, in.bootSession);
  return {
      {"pid", record.pid},
      {"alive", alive},
      {"traced", alive && in.recordProcessTraced},
      {"launchID", record.launchID},
      {"bootSession", record.bootSession},
      {"thisBoot", thisBoot},
      {"executablePath", record.executablePath},
      // Uptimes of another boot cannot be compared with this one's.
      {"heartbeatAgeSeconds",
       thisBoot ? json(WatchdogPolicy::stalledFor(record, Seconds(in.uptime)).count())
                : json(nullptr)},
      {"hangLimitSeconds", policy.hangLimit(record).count()},
      {"curtainUp", record.curtainUp},
      {"awayCoverUp", record.awayCoverUp.value_or(false)},
      {"cleanExit", record.cleanExit},
      {"safeMode", record.safeMode},
      {"startedAt", date(record.startedAt)},
      {"heartbeatAt", date(record.heartbeatAt)},
      {"crashLoopResetAt", date(record.crashLoopResetAt)},
  };
}

json hangNotePart(const WatchdogStatusInput& in) {
  const HostHangNote& note = *in.hangNote.value;
  const bool current =
      in.record.value && WatchdogPolicy::isSameRun(note.launchID, in.record.value->launchID);
  return {
      {"launchID", note.launchID},
      {"at", date(note.at)},
      {"stalledSeconds", note.stalledSeconds},
      {"namesCurrentRun", current},
  };
}

json ledgerPart(const WatchdogStatusInput& in, const WatchdogPolicy& policy) {
  const WatchdogLedger& ledger = *in.ledger.value;
  json recent = json::array();
  for (const WatchdogDate& exit : ledger.unexpectedExits) {
    if (policy.isRecent(exit, in.now)) recent.push_back(date(exit));
  }
  return {
      {"bootSession", text(ledger.bootSession)},
      {"thisBoot",
       ledger.bootSession && WatchdogPolicy::isThisBoot(*ledger.bootSession, in.bootSession)},
      {"recentUnexpectedExits", recent},
      {"crashLoopWindowSeconds", policy.crashLoopWindow.count()},
      {"crashLoopLimit", policy.crashLoopLimit},
      {"stopped", ledger.stoppedAt.has_value()},
      {"stoppedAt", date(ledger.stoppedAt)},
      {"safeModeLaunchedAt", date(ledger.safeModeLaunchedAt)},
      {"lastExit", ledger.lastExit ? json(std::string(rawValue(*ledger.lastExit))) : json(nullptr)},
      {"lastExitAt", date(ledger.lastExitAt)},
      {"relaunches", ledger.relaunches},
      {"lastRelaunchAt", date(ledger.lastRelaunchAt)},
      {"handledLaunchID", text(ledger.handledLaunchID)},
  };
}

}  // namespace

json WatchdogStatusReport::build(const WatchdogStatusInput& in) {
  const WatchdogPolicy policy;
  json problems = json::array();
  json report = {
      {"bundle",
       {{"path", in.bundlePath},
        {"identifier", text(in.bundleIdentifier)},
        {"dataFolder", text(in.dataFolder)}}},
      {"now", date(in.now)},
      {"uptime", in.uptime},
      {"bootSession", in.bootSession},
      {"host", nullptr},
      {"hangNote", nullptr},
      {"ledger", nullptr},
      {"hangReport", nullptr},
  };
  if (!in.bundleIdentifier) {
    problems.push_back("Info.plist: unreadable or without CFBundleIdentifier");
  } else if (!WatchdogFiles::isUsableBundleIdentifier(*in.bundleIdentifier)) {
    // The watchdog idles with it; its folder would lie outside the data folder.
    problems.push_back("Info.plist: CFBundleIdentifier cannot name a folder");
  } else if (!in.dataFolder) {
    problems.push_back("data folder: no $XDG_DATA_HOME or home folder");
  } else {
    if (usable(in.record, WatchdogFiles::kHostRecordName, "run record", problems)) {
      report["host"] = hostPart(in, policy);
    }
    if (usable(in.hangNote, WatchdogFiles::kHangNoteName, "hang note", problems)) {
      report["hangNote"] = hangNotePart(in);
    }
    if (usable(in.ledger, WatchdogFiles::kLedgerName, "ledger", problems)) {
      report["ledger"] = ledgerPart(in, policy);
    }
    // No hang yet, no report: only one that cannot be read is a problem.
    if (in.hangReport.value) {
      report["hangReport"] = in.hangReport.value->toJson().value_or(nullptr);
    } else if (in.hangReport.exists) {
      usable(in.hangReport, WatchdogFiles::kHangReportName, "hang report", problems);
    }
  }
  report["problems"] = problems;
  return report;
}

}  // namespace veldane
