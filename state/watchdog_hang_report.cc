#include "state/watchdog_hang_report.h"

#include <nlohmann/json.hpp>

#include "state/json_fields.h"

namespace veldane {
namespace {

using nlohmann::json;

std::optional<json> threadJson(const HostThreadSnapshot& thread) {
  using namespace JsonFields;
  json out = {{"tid", thread.tid},
              {"name", thread.name},
              {"state", thread.state},
              {"kernelStack", thread.kernelStack},
              {"stack", thread.stack}};
  if (thread.wchan) out["wchan"] = *thread.wchan;
  if (!putNumber(out, "cpuSeconds", thread.cpuSeconds)) return std::nullopt;
  if (thread.cpuSinceSample && !putNumber(out, "cpuSinceSample", *thread.cpuSinceSample)) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::optional<json> WatchdogHangReport::toJson() const {
  using namespace JsonFields;
  json out = {{"version", version}, {"pid", pid}, {"summary", summary}, {"stacks", stacks}};
  if (launchID) out["launchID"] = *launchID;
  json list = json::array();
  for (const HostThreadSnapshot& thread : threads) {
    std::optional<json> each = threadJson(thread);
    if (!each) return std::nullopt;
    list.push_back(std::move(*each));
  }
  out["threads"] = std::move(list);
  bool ok = putDate(out, "at", at) && putNumber(out, "secondsSilent", secondsSilent) &&
            putNumber(out, "hangLimitSeconds", hangLimitSeconds) &&
            (!sampleSeconds || putNumber(out, "sampleSeconds", *sampleSeconds)) &&
            putNumber(out, "snapshotSeconds", snapshotSeconds);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace veldane
