#include "state/watchdog_ledger.h"

#include <nlohmann/json.hpp>

#include "state/json_fields.h"

namespace veldane {
namespace {

// Every element must be a date; one bad element discards the list.
std::optional<std::vector<WatchdogDate>> asDateList(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<WatchdogDate> dates;
  dates.reserve(value.size());
  for (const nlohmann::json& element : value) {
    std::optional<WatchdogDate> date = JsonFields::asDate(element);
    if (!date) return std::nullopt;
    dates.push_back(*date);
  }
  return dates;
}

std::optional<WatchdogExitKind> asExitKind(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return exitKindFromRawValue(value.get_ref<const std::string&>());
}

// A pending relaunch in another form (a later version's) is left unread
// rather than discarding the ledger that holds it.
std::optional<std::vector<std::string>> asArguments(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> arguments;
  for (const nlohmann::json& element : value) {
    if (!element.is_string()) return std::nullopt;
    arguments.push_back(element.get<std::string>());
  }
  return arguments;
}

bool putOptionalDate(nlohmann::json& json, const char* key,
                     const std::optional<WatchdogDate>& date) {
  return !date || JsonFields::putDate(json, key, *date);
}

}  // namespace

std::optional<WatchdogLedger> WatchdogLedger::fromJson(const nlohmann::json& json) {
  using namespace JsonFields;
  if (!json.is_object()) return std::nullopt;
  WatchdogLedger ledger;
  bool ok = readRequired(json, "version", asInt64, ledger.version) &&
            readOptional(json, "bootSession", asString, ledger.bootSession) &&
            readRequired(json, "unexpectedExits", asDateList, ledger.unexpectedExits) &&
            readOptional(json, "handledLaunchID", asString, ledger.handledLaunchID) &&
            readRequired(json, "relaunches", asInt64, ledger.relaunches) &&
            readOptional(json, "lastRelaunchAt", asDate, ledger.lastRelaunchAt) &&
            readOptional(json, "lastExit", asExitKind, ledger.lastExit) &&
            readOptional(json, "lastExitAt", asDate, ledger.lastExitAt) &&
            readOptional(json, "stoppedAt", asDate, ledger.stoppedAt) &&
            readOptional(json, "safeModeLaunchedAt", asDate, ledger.safeModeLaunchedAt);
  if (!ok || !readOptional(json, "stoppedUptime", asNumber, ledger.stoppedUptime)) {
    return std::nullopt;
  }
  if (const nlohmann::json* pending = member(json, "pendingRelaunch")) {
    ledger.pendingRelaunch = asArguments(*pending);
  }
  return ledger;
}

std::optional<nlohmann::json> WatchdogLedger::toJson() const {
  nlohmann::json json = nlohmann::json::object();
  json["version"] = version;
  json["relaunches"] = relaunches;
  nlohmann::json exits = nlohmann::json::array();
  for (WatchdogDate date : unexpectedExits) {
    std::optional<std::string> text = formatDate(date);
    if (!text) return std::nullopt;
    exits.push_back(*text);
  }
  json["unexpectedExits"] = std::move(exits);
  if (bootSession) json["bootSession"] = *bootSession;
  if (handledLaunchID) json["handledLaunchID"] = *handledLaunchID;
  if (lastExit) json["lastExit"] = std::string(rawValue(*lastExit));
  if (pendingRelaunch) json["pendingRelaunch"] = *pendingRelaunch;
  bool ok = (!stoppedUptime || JsonFields::putNumber(json, "stoppedUptime", *stoppedUptime)) &&
            putOptionalDate(json, "lastRelaunchAt", lastRelaunchAt) &&
            putOptionalDate(json, "lastExitAt", lastExitAt) &&
            putOptionalDate(json, "stoppedAt", stoppedAt) &&
            putOptionalDate(json, "safeModeLaunchedAt", safeModeLaunchedAt);
  if (!ok) return std::nullopt;
  return json;
}

}  // namespace veldane
