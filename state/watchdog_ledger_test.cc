#include "state/watchdog_ledger.h"

#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

WatchdogDate date(const char* text) { return *parseDate(text); }

WatchdogLedger fullLedger() {
  WatchdogLedger ledger;
  ledger.bootSession = "B/1";
  ledger.unexpectedExits = {date("2025-03-01T08:00:00Z"), date("2025-03-01T08:01:00Z")};
  ledger.handledLaunchID = "L\xC3\xA9";
  ledger.relaunches = 2;
  ledger.lastRelaunchAt = date("2025-03-01T08:01:01Z");
  ledger.lastExit = WatchdogExitKind::hang;
  ledger.lastExitAt = date("2025-03-01T08:01:00Z");
  ledger.stoppedAt = date("2025-03-01T08:02:00Z");
  ledger.safeModeLaunchedAt = date("2025-03-01T08:02:01Z");
  return ledger;
}

TEST(WatchdogLedger, WrittenLayout) {
  TestFolder folder;
  const auto path = folder.path() / "watchdog.json";
  ASSERT_TRUE(WatchdogStore::write(WatchdogLedger(), path));
  EXPECT_EQ(WatchdogStore::readFile(path), R"({"relaunches":0,"unexpectedExits":[],"version":1})");
  ASSERT_TRUE(WatchdogStore::write(fullLedger(), path));
  EXPECT_EQ(WatchdogStore::readFile(path),
            R"({"bootSession":"B\/1","handledLaunchID":"L)"
            "\xC3\xA9"
            R"(","lastExit":"hang","lastExitAt":"2025-03-01T08:01:00Z",)"
            R"("lastRelaunchAt":"2025-03-01T08:01:01Z","relaunches":2,)"
            R"("safeModeLaunchedAt":"2025-03-01T08:02:01Z","stoppedAt":"2025-03-01T08:02:00Z",)"
            R"("unexpectedExits":["2025-03-01T08:00:00Z","2025-03-01T08:01:00Z"],"version":1})");
  EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(path), fullLedger());
}

TEST(WatchdogLedger, StrictDecoding) {
  const json minimal = {{"version", 1}, {"unexpectedExits", json::array()}, {"relaunches", 0}};
  EXPECT_EQ(WatchdogLedger::fromJson(minimal), WatchdogLedger());
  struct Case {
    const char* key;
    std::optional<json> value;  // absent: the key is removed
    bool decodes;
  };
  const Case cases[] = {
      {"relaunches", std::nullopt, false},
      {"relaunches", nullptr, false},
      {"relaunches", 9223372036854775808u, false},
      {"version", 2, true},
      {"version", std::nullopt, false},
      {"unexpectedExits", nullptr, false},
      {"unexpectedExits", json::array({"2025-03-01T08:00:00Z", "2025-03-01T08:00:00.5Z"}), false},
      {"unexpectedExits", json::array({"2025-03-01T08:00:00Z", nullptr}), false},
      {"unexpectedExits", "2025-03-01T08:00:00Z", false},
      {"lastExit", "hang", true},
      {"lastExit", "crash", true},
      {"lastExit", "Hang", false},
      {"lastExit", "hang ", false},
      {"lastExit", nullptr, true},
      {"stoppedAt", nullptr, true},
      {"stoppedAt", 1740816000, false},
      {"bootSession", 1, false},
      {"handledLaunchID", json::array(), false},
      {"unknown", 1, true},
  };
  for (const Case& c : cases) {
    const json document = withField(minimal, c.key, c.value);
    EXPECT_EQ(WatchdogLedger::fromJson(document).has_value(), c.decodes) << document.dump();
  }
  json withHang = minimal;
  withHang["lastExit"] = "hang";
  EXPECT_EQ(WatchdogLedger::fromJson(withHang)->lastExit, WatchdogExitKind::hang);
}

TEST(WatchdogLedger, EqualityAndWholeSecondRoundTrip) {
  WatchdogLedger reversed = fullLedger();
  std::swap(reversed.unexpectedExits[0], reversed.unexpectedExits[1]);
  EXPECT_NE(reversed, fullLedger());

  WatchdogLedger fractional = fullLedger();
  fractional.unexpectedExits[0] += milliseconds(750);
  TestFolder folder;
  ASSERT_TRUE(WatchdogStore::write(fractional, folder.path() / "watchdog.json"));
  EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(folder.path() / "watchdog.json"), fullLedger());
}

}  // namespace
}  // namespace veldane
