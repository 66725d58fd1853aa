#include "state/host_hang_note.h"

#include <gtest/gtest.h>

#include "state/test_support.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

TEST(HostHangNote, StrictDecoding) {
  expectStrictDecoding<HostHangNote>(
      {{"launchID", "L1"}, {"at", "2025-03-01T08:15:30Z"}, {"stalledSeconds", 50.5}}, {});
}

TEST(HostHangNote, RoundTripsThroughTheStore) {
  const HostHangNote note{"L1", *parseDate("2025-03-01T08:15:30Z"), 7};
  TestFolder folder;
  ASSERT_TRUE(WatchdogStore::write(note, folder.path / "hang.json"));
  EXPECT_EQ(WatchdogStore::readFile(folder.path / "hang.json"),
            R"({"at":"2025-03-01T08:15:30Z","launchID":"L1","stalledSeconds":7.0})");
  EXPECT_EQ(WatchdogStore::read<HostHangNote>(folder.path / "hang.json"), note);
}

}  // namespace
}  // namespace veldane
