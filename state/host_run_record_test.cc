#include "state/host_run_record.h"

#include <cmath>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using nlohmann::json;

json validDocument() {
  return json::parse(R"({"version":1,"pid":4242,"launchID":"L1","bootSession":"B1",
    "executablePath":"/Applications/A.app/Contents/MacOS/A","startedAt":"2025-03-01T08:15:30Z",
    "heartbeatUptime":1234.5,"heartbeatAt":"2025-03-01T08:16:00Z","cleanExit":false,
    "curtainUp":true,"safeMode":false})");
}

TEST(HostRunRecord, DecodesRequiredFieldsWithOptionalsAbsent) {
  std::optional<HostRunRecord> record = HostRunRecord::fromJson(validDocument());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, 4242);
  EXPECT_EQ(record->executablePath, "/Applications/A.app/Contents/MacOS/A");
  EXPECT_EQ(record->startedAt, parseDate("2025-03-01T08:15:30Z"));
  EXPECT_EQ(record->heartbeatUptime, 1234.5);
  EXPECT_TRUE(record->curtainUp);
  EXPECT_EQ(record->crashLoopResetAt, std::nullopt);
  EXPECT_EQ(record->awayCoverUp, std::nullopt);
}

TEST(HostRunRecord, StrictDecoding) {
  struct Case {
    const char* key;
    std::optional<json> value;  // absent: the key is removed
    bool decodes;
  };
  const Case cases[] = {
      {"pid", -1, true},
      {"pid", 2147483647, true},
      {"pid", 2147483648u, false},
      {"pid", -2147483649, false},
      {"pid", 3.5, false},
      {"pid", true, false},
      {"pid", "4242", false},
      {"version", INT64_MIN, true},
      {"version", 9223372036854775808u, false},
      {"version", 1.0, false},
      {"heartbeatUptime", 12, true},
      {"heartbeatUptime", -1e300, true},
      {"heartbeatUptime", "12", false},
      {"cleanExit", 0, false},
      {"curtainUp", "true", false},
      {"launchID", 7, false},
      {"startedAt", "2025-03-01T08:15:30.250Z", false},
      {"startedAt", "2025-03-01T10:15:30+02:00", true},
      {"heartbeatAt", "2025-02-30T08:15:30Z", false},
      {"crashLoopResetAt", nullptr, true},
      {"crashLoopResetAt", "2025-03-01T08:15:30Z", true},
      {"crashLoopResetAt", "yesterday", false},
      {"awayCoverUp", nullptr, true},
      {"awayCoverUp", false, true},
      {"awayCoverUp", 1, false},
      {"writtenByANewerHost", json::object(), true},
  };
  for (const Case& c : cases) {
    const json document = withField(validDocument(), c.key, c.value);
    EXPECT_EQ(HostRunRecord::fromJson(document).has_value(), c.decodes) << document.dump();
  }
  const json valid = validDocument();
  for (const auto& [key, value] : valid.items()) {
    EXPECT_FALSE(HostRunRecord::fromJson(withField(valid, key.c_str(), std::nullopt))) << key;
    EXPECT_FALSE(HostRunRecord::fromJson(withField(valid, key.c_str(), nullptr))) << key;
  }
  EXPECT_FALSE(HostRunRecord::fromJson(json::array({validDocument()})));
}

TEST(HostRunRecord, EncodesOptionalsOnlyWhenPresentAndRoundTrips) {
  HostRunRecord record = *HostRunRecord::fromJson(validDocument());
  EXPECT_EQ(record.toJson(), validDocument());
  record.crashLoopResetAt = parseDate("2025-03-02T00:00:00Z");
  record.awayCoverUp = false;
  TestFolder folder;
  ASSERT_TRUE(WatchdogStore::write(record, folder.path() / "host.json"));
  EXPECT_EQ(WatchdogStore::read<HostRunRecord>(folder.path() / "host.json"), record);

  record.heartbeatUptime = std::nan("");
  EXPECT_EQ(record.toJson(), std::nullopt);
}

}  // namespace
}  // namespace veldane
