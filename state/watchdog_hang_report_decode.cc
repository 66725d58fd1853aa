// Reading a hang report back: only the status tool does, so the watchdog,
// which only writes one, does not carry this code.
#include <nlohmann/json.hpp>

#include "state/json_fields.h"
#include "state/watchdog_hang_report.h"

namespace veldane {
namespace {

using nlohmann::json;

std::optional<std::vector<std::string>> asStrings(const json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> texts;
  for (const json& element : value) {
    if (!element.is_string()) return std::nullopt;
    texts.push_back(element.get<std::string>());
  }
  return texts;
}

std::optional<HostThreadSnapshot> asThread(const json& value) {
  using namespace JsonFields;
  if (!value.is_object()) return std::nullopt;
  HostThreadSnapshot thread;
  bool ok = readRequired(value, "tid", asInt64, thread.tid) &&
            readRequired(value, "name", asString, thread.name) &&
            readRequired(value, "state", asString, thread.state) &&
            readOptional(value, "wchan", asString, thread.wchan) &&
            readRequired(value, "cpuSeconds", asNumber, thread.cpuSeconds) &&
            readOptional(value, "cpuSinceSample", asNumber, thread.cpuSinceSample) &&
            readRequired(value, "kernelStack", asStrings, thread.kernelStack) &&
            readRequired(value, "stack", asStrings, thread.stack);
  if (!ok) return std::nullopt;
  return thread;
}

std::optional<std::vector<HostThreadSnapshot>> asThreads(const json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<HostThreadSnapshot> threads;
  for (const json& element : value) {
    std::optional<HostThreadSnapshot> thread = asThread(element);
    if (!thread) return std::nullopt;
    threads.push_back(std::move(*thread));
  }
  return threads;
}

}  // namespace

std::optional<WatchdogHangReport> WatchdogHangReport::fromJson(const json& value) {
  using namespace JsonFields;
  if (!value.is_object()) return std::nullopt;
  WatchdogHangReport report;
  bool ok = readRequired(value, "version", asInt64, report.version) &&
            readRequired(value, "pid", asInt32, report.pid) &&
            readOptional(value, "launchID", asString, report.launchID) &&
            readRequired(value, "at", asDate, report.at) &&
            readRequired(value, "secondsSilent", asNumber, report.secondsSilent) &&
            readRequired(value, "hangLimitSeconds", asNumber, report.hangLimitSeconds) &&
            readOptional(value, "sampleSeconds", asNumber, report.sampleSeconds) &&
            readRequired(value, "snapshotSeconds", asNumber, report.snapshotSeconds) &&
            readRequired(value, "summary", asString, report.summary) &&
            readRequired(value, "stacks", asString, report.stacks) &&
            readRequired(value, "threads", asThreads, report.threads);
  if (!ok) return std::nullopt;
  return report;
}

}  // namespace veldane
