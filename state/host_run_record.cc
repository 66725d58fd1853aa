#include "state/host_run_record.h"

#include <nlohmann/json.hpp>

#include "state/json_fields.h"

namespace veldane {

std::optional<HostRunRecord> HostRunRecord::fromJson(nlohmann::json taken) {
  using namespace JsonFields;
  const nlohmann::json& json = taken;
  if (!json.is_object()) return std::nullopt;
  HostRunRecord record;
  bool ok = readRequired(json, "version", asInt64, record.version) &&
            readRequired(json, "pid", asInt32, record.pid) &&
            readRequired(taken, "launchID", takeString, record.launchID) &&
            readRequired(taken, "bootSession", takeString, record.bootSession) &&
            readRequired(taken, "executablePath", takeString, record.executablePath) &&
            readRequired(json, "startedAt", asDate, record.startedAt) &&
            readRequired(json, "heartbeatUptime", asNumber, record.heartbeatUptime) &&
            readRequired(json, "heartbeatAt", asDate, record.heartbeatAt) &&
            readRequired(json, "cleanExit", asBool, record.cleanExit) &&
            readRequired(json, "curtainUp", asBool, record.curtainUp) &&
            readRequired(json, "safeMode", asBool, record.safeMode) &&
            readOptional(json, "crashLoopResetAt", asDate, record.crashLoopResetAt) &&
            readOptional(json, "awayCoverUp", asBool, record.awayCoverUp) &&
            readOptional(json, "crashLoopResetUptime", asNumber, record.crashLoopResetUptime);
  if (!ok || record.launchID.size() > kMaxLaunchIDSize) return std::nullopt;
  return record;
}

std::optional<nlohmann::json> HostRunRecord::toJson() const {
  using namespace JsonFields;
  nlohmann::json json = nlohmann::json::object();
  json["version"] = version;
  json["pid"] = pid;
  json["launchID"] = launchID;
  json["bootSession"] = bootSession;
  json["executablePath"] = executablePath;
  json["cleanExit"] = cleanExit;
  json["curtainUp"] = curtainUp;
  json["safeMode"] = safeMode;
  if (awayCoverUp) json["awayCoverUp"] = *awayCoverUp;
  bool ok = putDate(json, "startedAt", startedAt) &&
            putNumber(json, "heartbeatUptime", heartbeatUptime) &&
            putDate(json, "heartbeatAt", heartbeatAt) &&
            (!crashLoopResetAt || putDate(json, "crashLoopResetAt", *crashLoopResetAt)) &&
            (!crashLoopResetUptime ||
             putNumber(json, "crashLoopResetUptime", *crashLoopResetUptime));
  if (!ok) return std::nullopt;
  return json;
}

}  // namespace veldane
