#include "state/watchdog_date.h"

#include <string_view>

#include <gtest/gtest.h>

namespace veldane {
namespace {

using std::chrono::seconds;

WatchdogDate at(int64_t secondsSinceEpoch) { return WatchdogDate(seconds(secondsSinceEpoch)); }

TEST(WatchdogDate, ParsesWholeSecondsWithZoneOrOffsetAndWritesUtc) {
  EXPECT_EQ(parseDate("2025-03-01T10:15:30+02:00"), at(1740816930));
  EXPECT_EQ(parseDate("2025-03-01T05:00:30-03:15"), at(1740816930));
  EXPECT_EQ(parseDate("2024-02-29T23:59:59Z"), at(1709251199));
  EXPECT_EQ(parseDate("1969-12-31T23:59:59Z"), at(-1));
  // clang-format off
  for (std::string_view bad : std::initializer_list<std::string_view>{
      "", "2025-03-01T08:15:30.250Z", "2025-03-01T08:15:30", "2025-03-01T08:15:30Z ",
      std::string_view("2025-03-01T08:15:30Z\0", 21), "2025-03-01 08:15:30Z",
      "2025-03-01t08:15:30z", "2025-3-01T08:15:30Z", "+025-03-01T08:15:30Z",
      "2025-02-29T08:15:30Z", "2025-04-31T08:15:30Z", "2025-13-01T08:15:30Z",
      "2025-03-00T08:15:30Z", "2025-03-01T24:00:00Z", "2025-03-01T08:60:30Z",
      "2025-03-01T08:15:60Z", "2025-03-01T08:15:30+24:00", "2025-03-01T08:15:30+0200",
      "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {  // the last two: beyond the clock
    // clang-format on
    EXPECT_EQ(parseDate(bad), std::nullopt) << bad;
  }
  // Written in UTC, whole seconds, the fraction cut.
  EXPECT_EQ(formatDate(at(1740816930) + std::chrono::milliseconds(999)), "2025-03-01T08:15:30Z");
  EXPECT_EQ(formatDate(at(0) - std::chrono::milliseconds(1)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatDate(WatchdogDate::max()), "2262-04-11T23:47:16Z");
  EXPECT_EQ(parseDate("2262-04-11T23:47:16Z"), std::chrono::floor<seconds>(WatchdogDate::max()));
}

}  // namespace
}  // namespace veldane
