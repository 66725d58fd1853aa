#include "state/host_run_record.h"

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/test_support.h"

namespace veldane {
namespace {

using nlohmann::json;

const json kDocument = json::parse(R"({"version":1,"pid":4242,"launchID":"L1","bootSession":"B1",
    "executablePath":"/A.app/Contents/MacOS/A","startedAt":"2025-03-01T08:15:30Z",
    "heartbeatUptime":1234.5,"heartbeatAt":"2025-03-01T08:16:00Z","cleanExit":false,
    "curtainUp":true,"safeMode":false})");

TEST(HostRunRecord, StrictDecoding) {
  // clang-format off
  expectStrictDecoding<HostRunRecord>(kDocument, {
      {"pid", -1, true}, {"pid", 2147483647, true}, {"pid", 2147483648u, false},
      {"pid", -2147483649, false}, {"pid", 3.5, false}, {"pid", true, false}, {"pid", "1", false},
      {"version", INT64_MIN, true}, {"version", 9223372036854775808u, false},
      {"version", 1.0, false}, {"heartbeatUptime", 12, true}, {"heartbeatUptime", "12", false},
      {"heartbeatUptime", true, false}, {"cleanExit", 0, false}, {"launchID", 7, false},
      {"startedAt", "2025-03-01T08:15:30.250Z", false},
      {"crashLoopResetAt", nullptr, true}, {"crashLoopResetAt", "yesterday", false},
      {"awayCoverUp", nullptr, true}, {"awayCoverUp", 1, false},
      {"writtenByANewerHost", json::object(), true}});
  // clang-format on
}

TEST(HostRunRecord, EncodesOptionalsOnlyWhenPresent) {
  // clang-format off
  HostRunRecord record{.pid = 4242, .launchID = "L1", .bootSession = "B1",
      .executablePath = "/A.app/Contents/MacOS/A", .startedAt = *parseDate("2025-03-01T08:15:30Z"),
      .heartbeatUptime = 1234.5, .heartbeatAt = *parseDate("2025-03-01T08:16:00Z"),
      .curtainUp = true, .crashLoopResetAt = {}, .awayCoverUp = {}};
  // clang-format on
  EXPECT_EQ(HostRunRecord::fromJson(kDocument), record);
  EXPECT_EQ(record.toJson(), kDocument);
  record.heartbeatUptime = std::nan("");
  EXPECT_EQ(record.toJson(), std::nullopt);
}

}  // namespace
}  // namespace veldane
