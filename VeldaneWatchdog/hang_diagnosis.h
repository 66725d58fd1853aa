#ifndef VELDANE_VELDANEWATCHDOG_HANG_DIAGNOSIS_H_
#define VELDANE_VELDANEWATCHDOG_HANG_DIAGNOSIS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/log_channel.h"
#include "state/host_hang_snapshot.h"
#include "state/watchdog_hang_report.h"

namespace veldane {

// Turns what was gathered about a hung host into its report, a one-line
// diagnosis and the fields of its journal entry. Pure: no clock, no file.
namespace HangDiagnosis {

struct Evidence {
  int32_t pid = 0;
  std::optional<std::string> launchID;
  WatchdogDate at;
  double secondsSilent = 0;
  double hangLimitSeconds = 0;
  // The early sample and how long before the judgement it was taken.
  std::optional<HostCpuSample> sample;
  double sampleSeconds = 0;
  // Absent when the snapshot did not finish within its budget.
  std::optional<HostHangSnapshot> snapshot;
  double snapshotSeconds = 0;
};

// Each thread's CPU time since the sample, and the summary.
WatchdogHangReport report(const Evidence& evidence);

// "main thread spinning in user space in parse() (config.cc:212) for 45 s",
// "main thread blocked in pipe_read; 0 ms CPU in the last 22 s".
std::string summary(const WatchdogHangReport& report);

// The journal entry's message and fields: host pid, launch ID, seconds
// silent, thread count, each thread's state, the stacks (multi-line).
std::string message(const WatchdogHangReport& report);
LogFields journalFields(const WatchdogHangReport& report, const std::string& reportPath);

}  // namespace HangDiagnosis
}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_HANG_DIAGNOSIS_H_
