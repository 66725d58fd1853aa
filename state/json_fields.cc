#include "state/json_fields.h"

#include <cmath>
#include <limits>
#include <utility>

namespace veldane {
namespace JsonFields {

std::optional<int64_t> asInt64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    uint64_t number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  return std::nullopt;
}

std::optional<int32_t> asInt32(const nlohmann::json& value) {
  std::optional<int64_t> number = asInt64(value);
  if (!number || *number < std::numeric_limits<int32_t>::min() ||
      *number > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*number);
}

std::optional<double> asNumber(const nlohmann::json& value) {
  if (!value.is_number()) return std::nullopt;
  return value.get<double>();
}

std::optional<bool> asBool(const nlohmann::json& value) {
  if (!value.is_boolean()) return std::nullopt;
  return value.get<bool>();
}

std::optional<std::string> asString(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

std::optional<std::string> takeString(nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return std::move(value.get_ref<std::string&>());
}

std::optional<WatchdogDate> asDate(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  return parseDate(value.get_ref<const std::string&>());
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

nlohmann::json* member(nlohmann::json& object, const char* key) {
  return const_cast<nlohmann::json*>(member(std::as_const(object), key));
}

bool putDate(nlohmann::json& object, const char* key, WatchdogDate date) {
  std::optional<std::string> text = formatDate(date);
  if (!text) return false;
  object[key] = *text;
  return true;
}

bool putNumber(nlohmann::json& object, const char* key, double number) {
  if (!std::isfinite(number)) return false;
  object[key] = number;
  return true;
}

}  // namespace JsonFields
}  // namespace veldane
