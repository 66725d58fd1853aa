// Fuzzes the date parser: whatever parses is a whole second that the writer's
// form holds and that parses back to the same instant.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "state/watchdog_date.h"

namespace veldane {
namespace {

// "YYYY-MM-DDTHH:MM:SSZ", the only form the writer produces.
bool hasWriterShape(std::string_view text) { return text.size() == 20 && text.back() == 'Z'; }

}  // namespace
}  // namespace veldane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veldane;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<WatchdogDate> date = parseDate(text);
  if (!date) return 0;

  FUZZ_CHECK(std::chrono::floor<std::chrono::seconds>(*date) == *date);
  std::optional<std::string> written = formatDate(*date);
  FUZZ_CHECK(written.has_value());
  FUZZ_CHECK(parseDate(*written) == date);
  // A date already in the writer's form is written back byte for byte.
  if (hasWriterShape(text)) FUZZ_CHECK(*written == text);
  return 0;
}
