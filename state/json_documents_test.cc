#include <cmath>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/host_hang_note.h"
#include "state/host_run_record.h"
#include "state/watchdog_hang_report.h"
#include "state/watchdog_ledger.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using nlohmann::json;

// Every key of `valid` is required: without it or null the document fails, as it does when not
// an object. Each case sets one key of `valid` to a value and says whether it still decodes.
template <typename T>
void expectStrictDecoding(const json& valid,
                          std::initializer_list<std::tuple<std::string, json, bool>> cases) {
  EXPECT_TRUE(T::fromJson(valid));
  EXPECT_FALSE(T::fromJson(json::array({valid})));
  for (const auto& field : valid.items()) {
    json document = valid;
    document.erase(field.key());
    EXPECT_FALSE(T::fromJson(document)) << "without " << field.key();
    document[field.key()] = nullptr;
    EXPECT_FALSE(T::fromJson(document)) << document.dump();
  }
  for (const auto& [key, value, decodes] : cases) {
    json document = valid;
    document[key] = value;
    EXPECT_EQ(T::fromJson(document).has_value(), decodes) << document.dump();
  }
}

WatchdogDate at(const std::string& time) { return *parseDate("2025-03-01T" + time + "Z"); }

const json kRecord = json::parse(R"({"version":1,"pid":4242,"launchID":"L1","bootSession":"B1",
    "executablePath":"/A.app/Contents/MacOS/A","startedAt":"2025-03-01T08:15:30Z",
    "heartbeatUptime":1234.5,"heartbeatAt":"2025-03-01T08:16:00Z","cleanExit":false,
    "curtainUp":true,"safeMode":false})");

TEST(HostRunRecord, DecodesStrictlyAndEncodesOptionalsOnlyWhenPresent) {
  // clang-format off
  expectStrictDecoding<HostRunRecord>(kRecord, {
      {"pid", -1, true}, {"pid", 2147483647, true}, {"pid", 2147483648u, false},
      {"pid", -2147483649, false}, {"pid", 3.5, false}, {"pid", true, false}, {"pid", "1", false},
      {"version", INT64_MIN, true}, {"version", 9223372036854775808u, false},
      {"version", 1.0, false}, {"heartbeatUptime", 12, true}, {"heartbeatUptime", "12", false},
      {"heartbeatUptime", true, false}, {"cleanExit", 0, false}, {"launchID", 7, false},
      {"startedAt", "2025-03-01T08:15:30.250Z", false},
      {"crashLoopResetAt", nullptr, true}, {"crashLoopResetAt", "yesterday", false},
      {"awayCoverUp", nullptr, true}, {"awayCoverUp", 1, false},
      {"crashLoopResetUptime", nullptr, true}, {"crashLoopResetUptime", 12, true},
      {"crashLoopResetUptime", "12", false}, {"crashLoopResetUptime", false, false},
      {"launchID", std::string(HostRunRecord::kMaxLaunchIDSize, '/'), true},
      {"launchID", std::string(HostRunRecord::kMaxLaunchIDSize + 1, 'x'), false},
      {"writtenByANewerHost", json::object(), true}});
  // clang-format on
  std::optional<HostRunRecord> record = HostRunRecord::fromJson(kRecord);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->toJson(), kRecord);
  json reset = kRecord;
  reset["crashLoopResetAt"] = "2025-03-01T08:16:00Z";
  reset["crashLoopResetUptime"] = 1230.25;
  record = HostRunRecord::fromJson(reset);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->crashLoopResetUptime, 1230.25);
  EXPECT_EQ(record->toJson(), reset);
  record->crashLoopResetUptime = std::nan("");
  EXPECT_EQ(record->toJson(), std::nullopt);
  record->crashLoopResetUptime.reset();
  record->heartbeatUptime = std::nan("");
  EXPECT_EQ(record->toJson(), std::nullopt);
}

TEST(WatchdogLedger, WrittenLayoutRoundTripAndStrictDecoding) {
  // clang-format off
  const WatchdogLedger full{.bootSession = "B/1",
      .unexpectedExits = {at("08:00:00"), at("08:01:00")}, .handledLaunchID = "L1",
      .relaunches = 2, .lastRelaunchAt = at("08:01:01"), .lastExit = WatchdogExitKind::hang,
      .lastExitAt = at("08:01:00"), .stoppedAt = at("08:02:00"),
      .safeModeLaunchedAt = at("08:02:01"), .pendingRelaunch = {{"--veldane-recovered", "-x"}}};
  EXPECT_EQ(WatchdogStore::serialize(*full.toJson()),
            R"({"bootSession":"B\/1","handledLaunchID":"L1","lastExit":"hang",)"
            R"("lastExitAt":"2025-03-01T08:01:00Z",)"
            R"("lastRelaunchAt":"2025-03-01T08:01:01Z",)"
            R"("pendingRelaunch":["--veldane-recovered","-x"],"relaunches":2,)"
            R"("safeModeLaunchedAt":"2025-03-01T08:02:01Z","stoppedAt":"2025-03-01T08:02:00Z",)"
            R"("unexpectedExits":["2025-03-01T08:00:00Z","2025-03-01T08:01:00Z"],"version":1})");
  EXPECT_EQ(WatchdogLedger::fromJson(*full.toJson()), full);
  expectStrictDecoding<WatchdogLedger>(
      {{"version", 1}, {"unexpectedExits", json::array()}, {"relaunches", 0}},
      {{"version", 2, true}, {"unexpectedExits", "2025-03-01T08:00:00Z", false},
       {"unexpectedExits", json::array({"2025-03-01T08:00:00Z", "2025-03-01T08:00:00.5Z"}), false},
       {"lastExit", "crash", true}, {"lastExit", "Hang", false}, {"lastExit", nullptr, true},
       {"stoppedAt", 1740816000, false}, {"handledLaunchID", json::array(), false},
       // A pending relaunch in another form leaves the rest of the ledger usable.
       {"unknown", 1, true}, {"pendingRelaunch", json::array({1}), true},
       {"stoppedUptime", 12.5, true}, {"stoppedUptime", "12", false}});
  // clang-format on
}

TEST(WatchdogLedger, LargestThatTheWatchdogKeepsIsReadBack) {
  // Every "/" of a launch ID is written as two bytes.
  const WatchdogDate last = at("08:02:00");
  const WatchdogLedger largest{.bootSession = std::string(128, '/'),
                               .unexpectedExits = {at("08:00:00"), at("08:01:00"), last},
                               .handledLaunchID = std::string(HostRunRecord::kMaxLaunchIDSize, '/'),
                               .relaunches = INT64_MIN,
                               .lastRelaunchAt = last,
                               .lastExit = WatchdogExitKind::crash,
                               .lastExitAt = last,
                               .stoppedAt = last,
                               .safeModeLaunchedAt = last,
                               .pendingRelaunch = {{"--veldane-recovered", "--veldane-safe-mode"}},
                               .stoppedUptime = 1e300};
  const std::optional<std::string> bytes = WatchdogStore::serialize(*largest.toJson());
  ASSERT_TRUE(bytes);
  EXPECT_LE(bytes->size(), WatchdogStore::kMaxFileSize);
}

TEST(WatchdogHangReport, RoundTripsAndDecodesStrictly) {
  // clang-format off
  const HostThreadSnapshot main{7, "Host", "sleeping", "pipe_read", 1.5, 0.0,
                                {"pipe_read+0x2d3/0x3e0"}, {"read", "blockInRead() (host.cc:12)"}};
  // A thread id of macOS's, beyond 32 bits.
  const HostThreadSnapshot worker{0x1'0000'0008, "worker", "running", std::nullopt, 3,
                                  std::nullopt,  {},       {}};
  const WatchdogHangReport report{1, 7, "L1", at("08:15:30"), 6.5, 6, 3.25, 0.02,
                                  "main thread blocked in pipe_read", "unwound", {main, worker}};
  // clang-format on
  EXPECT_EQ(WatchdogHangReport::fromJson(*report.toJson()), report);
  json valid = *report.toJson();
  for (const char* optional : {"launchID", "sampleSeconds"}) valid.erase(optional);
  expectStrictDecoding<WatchdogHangReport>(valid, {{"threads", json::array({{{"tid", 1}}}), false},
                                                   {"threads", json::array(), true},
                                                   {"pid", 3.5, false}});
}

TEST(HostHangNote, StrictDecoding) {
  expectStrictDecoding<HostHangNote>(
      {{"launchID", "L1"}, {"at", "2025-03-01T08:15:30Z"}, {"stalledSeconds", 50.5}}, {});
}

}  // namespace
}  // namespace veldane
