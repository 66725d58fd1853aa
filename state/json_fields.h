#ifndef VELDANE_STATE_JSON_FIELDS_H_
#define VELDANE_STATE_JSON_FIELDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "state/watchdog_date.h"

namespace veldane {

// Strict readers of the records' JSON fields. Unlike nlohmann's get<T>(),
// which converts silently (3.5 or true to an integer, 2^31 to a wrapped
// int32), each gives absent unless the value has exactly its form.
//
//   HostHangNote note;
//   bool ok = JsonFields::readRequired(json, "at", JsonFields::asDate, note.at);
namespace JsonFields {

std::optional<int64_t> asInt64(const nlohmann::json& value);
std::optional<int32_t> asInt32(const nlohmann::json& value);
// Any JSON number, integers included.
std::optional<double> asNumber(const nlohmann::json& value);
std::optional<bool> asBool(const nlohmann::json& value);
std::optional<std::string> asString(const nlohmann::json& value);
// asString that moves the text out of `value` instead of copying it.
std::optional<std::string> takeString(nlohmann::json& value);
// A string in the whole-second date form.
std::optional<WatchdogDate> asDate(const nlohmann::json& value);

// The value under `key`, or null when the key is missing or holds null.
const nlohmann::json* member(const nlohmann::json& object, const char* key);
nlohmann::json* member(nlohmann::json& object, const char* key);

// False when the key is missing, null or not of the reader's form. A
// non-const object may be given to a reader that takes its value (takeString).
template <typename Json, typename T>
bool readRequired(Json& object, const char* key, std::optional<T> (*reader)(Json&), T& field) {
  auto* value = member(object, key);
  if (value == nullptr) return false;
  std::optional<T> decoded = reader(*value);
  if (!decoded) return false;
  field = std::move(*decoded);
  return true;
}

// A missing or null key leaves the field absent; any other value must have
// the reader's form.
template <typename Json, typename T>
bool readOptional(Json& object, const char* key, std::optional<T> (*reader)(Json&),
                  std::optional<T>& field) {
  auto* value = member(object, key);
  if (value == nullptr) {
    field.reset();
    return true;
  }
  field = reader(*value);
  return field.has_value();
}

// Writes a date in the file form; false when it has none.
bool putDate(nlohmann::json& object, const char* key, WatchdogDate date);
// Writes a finite number; false for NaN and infinities, which JSON cannot hold.
bool putNumber(nlohmann::json& object, const char* key, double number);

}  // namespace JsonFields
}  // namespace veldane

#endif  // VELDANE_STATE_JSON_FIELDS_H_
