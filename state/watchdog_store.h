#ifndef VELDANE_STATE_WATCHDOG_STORE_H_
#define VELDANE_STATE_WATCHDOG_STORE_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "state/file_io.h"

namespace veldane {

// The one rule for the JSON files: their text, and reading and writing them
// through the store's file access (state/file_io.h). Every failure is
// absorbed: a write reports true or false, a read gives a value or nothing.
namespace WatchdogStore {

// Arrays and objects nested deeper than this are refused while parsing; the
// files themselves nest two levels.
inline constexpr size_t kMaxDepth = 16;

// The writer's layout: keys sorted by their bytes, compact, no final line
// break, "/" written as "\/", other non-ASCII as UTF-8. Absent when the value
// holds text that is not valid UTF-8.
std::optional<std::string> serialize(const nlohmann::json& json);

// Parses JSON text; absent on any syntax error, invalid UTF-8, nesting
// deeper than kMaxDepth or empty text.
std::optional<nlohmann::json> parse(std::string_view text);

// T provides `static std::optional<T> fromJson(const nlohmann::json&)` (or
// one that takes the parsed value, to move its texts out) and
// `std::optional<nlohmann::json> toJson() const`.
template <typename T>
bool write(const T& value, const std::filesystem::path& to, bool durable = true) {
  std::optional<nlohmann::json> json = value.toJson();
  if (!json) return false;
  std::optional<std::string> bytes = serialize(*json);
  return bytes && writeFileAtomically(to, *bytes, durable);
}

template <typename T>
std::optional<T> read(const std::filesystem::path& from, size_t limit = kMaxFileSize) {
  std::optional<std::string> bytes = readFile(from, limit);
  if (!bytes || bytes->empty()) return std::nullopt;
  std::optional<nlohmann::json> json = parse(*bytes);
  if (!json) return std::nullopt;
  return T::fromJson(std::move(*json));
}

}  // namespace WatchdogStore
}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_STORE_H_
