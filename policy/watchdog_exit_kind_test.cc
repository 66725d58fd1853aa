#include "policy/watchdog_exit_kind.h"

#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(WatchdogExitKind, RawValuesRoundTrip) {
  EXPECT_EQ(rawValue(WatchdogExitKind::crash), "crash");
  EXPECT_EQ(rawValue(WatchdogExitKind::hang), "hang");
  for (WatchdogExitKind kind : {WatchdogExitKind::crash, WatchdogExitKind::hang}) {
    EXPECT_EQ(exitKindFromRawValue(rawValue(kind)), kind);
  }
}

TEST(WatchdogExitKind, ParsesOnlyExactRawValues) {
  using namespace std::string_view_literals;
  for (std::string_view raw :
       {"Hang"sv, "CRASH"sv, "hang "sv, " crash"sv, ""sv, "hang\0"sv, "crashed"sv, "han"sv}) {
    EXPECT_EQ(exitKindFromRawValue(raw), std::nullopt) << "'" << raw << "'";
  }
}

}  // namespace
}  // namespace veldane
