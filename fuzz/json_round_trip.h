#ifndef VELDANE_FUZZ_JSON_ROUND_TRIP_H_
#define VELDANE_FUZZ_JSON_ROUND_TRIP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "state/watchdog_store.h"

namespace veldane {

// Decodes the bytes as the watchdog reads a file, and checks that whatever
// decodes is written and read back unchanged. Decoded dates hold whole
// seconds, so the round trip must be exact, and writing again gives the same
// bytes.
template <typename T>
void checkJsonRoundTrip(const uint8_t* data, size_t size) {
  std::optional<nlohmann::json> json =
      WatchdogStore::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!json) return;
  std::optional<T> value = T::fromJson(*json);
  if (!value) return;

  std::optional<nlohmann::json> encoded = value->toJson();
  FUZZ_CHECK(encoded.has_value());
  std::optional<std::string> text = WatchdogStore::serialize(*encoded);
  FUZZ_CHECK(text.has_value());
  std::optional<nlohmann::json> reparsed = WatchdogStore::parse(*text);
  FUZZ_CHECK(reparsed.has_value());
  std::optional<T> decoded = T::fromJson(*reparsed);
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(*decoded == *value);

  std::optional<nlohmann::json> encodedAgain = decoded->toJson();
  FUZZ_CHECK(encodedAgain.has_value());
  FUZZ_CHECK(WatchdogStore::serialize(*encodedAgain) == text);
}

}  // namespace veldane

#endif  // VELDANE_FUZZ_JSON_ROUND_TRIP_H_
