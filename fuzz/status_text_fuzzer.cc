// Fuzzes the status tool's rendering: any JSON document as a report, and the
// same document's "host", "hangNote" and "ledger" values as the files that a
// report is built from. The text must never hold a control character other
// than the line breaks, nor bytes that are not UTF-8, and the JSON form must
// always be written.
#include <utf8proc.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "state/json_fields.h"
#include "state/watchdog_store.h"
#include "tools/watchdog_status_report.h"

namespace veldane {
namespace {

using nlohmann::json;

void checkPrintable(const std::string& text) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  auto left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    FUZZ_CHECK(used > 0);
    FUZZ_CHECK(codepoint == '\n' || utf8proc_category(codepoint) != UTF8PROC_CATEGORY_CC);
    data += used;
    left -= used;
  }
}

template <typename T>
StatusFile<T> fileOf(const json& document, const char* key) {
  const json* value = JsonFields::member(document, key);
  if (value == nullptr) return {};
  return {true, T::fromJson(*value)};
}

std::string textOr(const json& document, const char* key, const char* fallback) {
  const json* value = JsonFields::member(document, key);
  return value && value->is_string() ? value->get<std::string>() : fallback;
}

}  // namespace
}  // namespace veldane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veldane;
  std::optional<json> document =
      WatchdogStore::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!document) return 0;
  checkPrintable(WatchdogStatusReport::renderText(*document));
  if (!document->is_object()) return 0;

  WatchdogStatusInput in;
  in.bundlePath = textOr(*document, "path", "/Apps/Demo.app");
  in.bundleIdentifier = textOr(*document, "identifier", "com.example.demo");
  in.dataFolder = textOr(*document, "dataFolder", "/data");
  in.bootSession = textOr(*document, "bootSession", "boot-1");
  const json* now = JsonFields::member(*document, "now");
  in.now =
      (now ? JsonFields::asDate(*now) : std::nullopt).value_or(*parseDate("2025-03-01T08:15:30Z"));
  const json* uptime = JsonFields::member(*document, "uptime");
  in.uptime = (uptime ? JsonFields::asNumber(*uptime) : std::nullopt).value_or(1000);
  in.record = fileOf<HostRunRecord>(*document, "host");
  in.hangNote = fileOf<HostHangNote>(*document, "hangNote");
  in.ledger = fileOf<WatchdogLedger>(*document, "ledger");
  if (in.record.value) {
    // Alive when the process runs the recorded path, as the status tool asks.
    in.recordProcessAlive =
        textOr(*document, "processPath", in.record.value->executablePath.c_str()) ==
        in.record.value->executablePath;
    in.recordProcessTraced = document->contains("traced");
  }
  const json report = WatchdogStatusReport::build(in);
  checkPrintable(WatchdogStatusReport::renderText(report));
  (void)report.dump(2, ' ', false, json::error_handler_t::replace);
  return 0;
}
