#include "state/host_hang_note.h"

#include <nlohmann/json.hpp>

#include "state/json_fields.h"

namespace veldane {

std::optional<HostHangNote> HostHangNote::fromJson(const nlohmann::json& json) {
  using namespace JsonFields;
  if (!json.is_object()) return std::nullopt;
  HostHangNote note;
  bool ok = readRequired(json, "launchID", asString, note.launchID) &&
            readRequired(json, "at", asDate, note.at) &&
            readRequired(json, "stalledSeconds", asNumber, note.stalledSeconds);
  if (!ok) return std::nullopt;
  return note;
}

std::optional<nlohmann::json> HostHangNote::toJson() const {
  using namespace JsonFields;
  nlohmann::json json = nlohmann::json::object();
  json["launchID"] = launchID;
  if (!putDate(json, "at", at) || !putNumber(json, "stalledSeconds", stalledSeconds)) {
    return std::nullopt;
  }
  return json;
}

}  // namespace veldane
