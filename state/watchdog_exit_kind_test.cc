#include "state/watchdog_exit_kind.h"

#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace veldane {
namespace {

using namespace std::string_view_literals;

TEST(WatchdogExitKind, RawValuesAreExactAndRoundTrip) {
  EXPECT_EQ(rawValue(WatchdogExitKind::crash), "crash");
  EXPECT_EQ(rawValue(WatchdogExitKind::hang), "hang");
  for (WatchdogExitKind kind : {WatchdogExitKind::crash, WatchdogExitKind::hang}) {
    EXPECT_EQ(exitKindFromRawValue(rawValue(kind)), kind);
  }
  for (std::string_view raw : {"Hang"sv, "CRASH"sv, "hang "sv, ""sv, "hang\0"sv, "crashed"sv}) {
    EXPECT_EQ(exitKindFromRawValue(raw), std::nullopt) << "'" << raw << "'";
  }
}

}  // namespace
}  // namespace veldane
