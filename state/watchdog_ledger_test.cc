#include "state/watchdog_ledger.h"

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using nlohmann::json;

// A time of 2025-03-01 in UTC.
WatchdogDate at(const std::string& time) { return *parseDate("2025-03-01T" + time + "Z"); }

TEST(WatchdogLedger, WrittenLayoutAndRoundTrip) {
  // clang-format off
  const WatchdogLedger full{.bootSession = "B/1",
      .unexpectedExits = {at("08:00:00"), at("08:01:00")}, .handledLaunchID = "L\xC3\xA9",
      .relaunches = 2, .lastRelaunchAt = at("08:01:01"), .lastExit = WatchdogExitKind::hang,
      .lastExitAt = at("08:01:00"), .stoppedAt = at("08:02:00"),
      .safeModeLaunchedAt = at("08:02:01"), .pendingRelaunch = {{"--veldane-recovered", "-x"}}};
  // clang-format on
  EXPECT_EQ(WatchdogStore::serialize(*full.toJson()),
            R"({"bootSession":"B\/1","handledLaunchID":"L)"
            "\xC3\xA9"
            R"(","lastExit":"hang","lastExitAt":"2025-03-01T08:01:00Z",)"
            R"("lastRelaunchAt":"2025-03-01T08:01:01Z",)"
            R"("pendingRelaunch":["--veldane-recovered","-x"],"relaunches":2,)"
            R"("safeModeLaunchedAt":"2025-03-01T08:02:01Z","stoppedAt":"2025-03-01T08:02:00Z",)"
            R"("unexpectedExits":["2025-03-01T08:00:00Z","2025-03-01T08:01:00Z"],"version":1})");
  EXPECT_EQ(WatchdogLedger::fromJson(*full.toJson()), full);
}

TEST(WatchdogLedger, StrictDecoding) {
  // clang-format off
  expectStrictDecoding<WatchdogLedger>(
      {{"version", 1}, {"unexpectedExits", json::array()}, {"relaunches", 0}},
      {{"version", 2, true}, {"unexpectedExits", "2025-03-01T08:00:00Z", false},
       {"unexpectedExits", json::array({"2025-03-01T08:00:00Z", "2025-03-01T08:00:00.5Z"}), false},
       {"lastExit", "crash", true}, {"lastExit", "Hang", false}, {"lastExit", nullptr, true},
       {"stoppedAt", 1740816000, false}, {"handledLaunchID", json::array(), false},
       // A pending relaunch in another form leaves the rest of the ledger usable.
       {"unknown", 1, true}, {"pendingRelaunch", json::array({1}), true}});
  // clang-format on
}

}  // namespace
}  // namespace veldane
