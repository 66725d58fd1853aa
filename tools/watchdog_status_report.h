#ifndef VELDANE_TOOLS_WATCHDOG_STATUS_REPORT_H_
#define VELDANE_TOOLS_WATCHDOG_STATUS_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "state/host_hang_note.h"
#include "state/host_run_record.h"
#include "state/watchdog_date.h"
#include "state/watchdog_hang_report.h"
#include "state/watchdog_ledger.h"

namespace veldane {

// What reading one of the data folder's files gave: a file that is absent is
// told apart from one that exists but cannot be read or decoded.
template <typename T>
struct StatusFile {
  bool exists = false;
  std::optional<T> value;

  friend bool operator==(const StatusFile&, const StatusFile&) = default;
};

// Everything the report is built from, gathered by the caller.
struct WatchdogStatusInput {
  std::string bundlePath;
  std::optional<std::string> bundleIdentifier;  // absent: Info.plist unreadable
  std::optional<std::string> dataFolder;        // absent: no identifier or no data folder
  StatusFile<HostRunRecord> record;
  StatusFile<HostHangNote> hangNote;
  StatusFile<WatchdogLedger> ledger;
  StatusFile<WatchdogHangReport> hangReport;
  // Whether the record's pid runs the recorded host, as the watchdog tells
  // it (HostLiveness), and whether that process is traced.
  bool recordProcessAlive = false;
  bool recordProcessTraced = false;
  std::string bootSession;
  WatchdogDate now;
  double uptime = 0;
};

// The status report: pure, it reads no clock and no file.
//
//   nlohmann::json report = WatchdogStatusReport::build(input);
//   std::cout << WatchdogStatusReport::renderText(report);
namespace WatchdogStatusReport {

// One JSON object with fixed keys: "bundle", "now", "uptime", "bootSession",
// "host", "hangNote", "ledger", "hangReport" (null when its file is missing or
// bad; a missing hang report is no problem) and "problems" (texts such as
// "host.json: missing").
nlohmann::json build(const WatchdogStatusInput& input);

// The report as lines of plain text for a person.
std::string renderText(const nlohmann::json& report);

}  // namespace WatchdogStatusReport
}  // namespace veldane

#endif  // VELDANE_TOOLS_WATCHDOG_STATUS_REPORT_H_
