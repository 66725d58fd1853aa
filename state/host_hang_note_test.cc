#include "state/host_hang_note.h"

#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using nlohmann::json;

TEST(HostHangNote, StrictDecoding) {
  const json valid = {{"launchID", "L1"}, {"at", "2025-03-01T08:15:30Z"}, {"stalledSeconds", 50.5}};
  struct Case {
    const char* key;
    std::optional<json> value;  // absent: the key is removed
    bool decodes;
  };
  const Case cases[] = {
      {"stalledSeconds", 0, true},
      {"stalledSeconds", "50", false},
      {"stalledSeconds", nullptr, false},
      {"stalledSeconds", std::nullopt, false},
      {"at", std::nullopt, false},
      {"at", "2025-03-01T08:15:30.250Z", false},
      {"launchID", 1, false},
      {"launchID", std::nullopt, false},
      {"other", "ignored", true},
  };
  for (const Case& c : cases) {
    const json document = withField(valid, c.key, c.value);
    EXPECT_EQ(HostHangNote::fromJson(document).has_value(), c.decodes) << document.dump();
  }
  EXPECT_FALSE(HostHangNote::fromJson("L1"));
}

TEST(HostHangNote, RoundTripsThroughTheStore) {
  const HostHangNote note{"L1", *parseDate("2025-03-01T08:15:30Z"), 7};
  TestFolder folder;
  ASSERT_TRUE(WatchdogStore::write(note, folder.path() / "hang.json"));
  EXPECT_EQ(WatchdogStore::readFile(folder.path() / "hang.json"),
            R"({"at":"2025-03-01T08:15:30Z","launchID":"L1","stalledSeconds":7.0})");
  EXPECT_EQ(WatchdogStore::read<HostHangNote>(folder.path() / "hang.json"), note);
}

}  // namespace
}  // namespace veldane
