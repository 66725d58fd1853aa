#include "state/watchdog_data_root.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

constexpr char kSupport[] = "/Users/u/Library/Application Support";
constexpr char kContainerSupport[] =
    "/Users/u/Library/Containers/com.example.a/Data/Library/Application Support";
constexpr char kGroup[] = "ABCDE12345.com.example.a";
constexpr char kGroupContainer[] = "/Users/u/Library/Group Containers/ABCDE12345.com.example.a";
constexpr char kGroupSupport[] =
    "/Users/u/Library/Group Containers/ABCDE12345.com.example.a/Library/Application Support";

// The host inside the sandbox and the watchdog outside it see different
// application-support folders, and meet only in the group's container.
TEST(WatchdogDataRoot, ABundleWithAnAppGroupUsesItsContainerInsideTheSandboxAndOutside) {
  const WatchdogDataFacts watchdog{kSupport, kGroup, kGroupContainer, false};
  const WatchdogDataFacts host{kContainerSupport, kGroup, kGroupContainer, true};
  EXPECT_EQ(WatchdogDataRoot::choose(watchdog), (WatchdogDataRoot{kGroupSupport, ""}));
  EXPECT_EQ(WatchdogDataRoot::choose(host), WatchdogDataRoot::choose(watchdog));
  const WatchdogDataFacts slashed{kSupport, kGroup, std::string(kGroupContainer) + "/", false};
  EXPECT_EQ(WatchdogDataRoot::choose(slashed).directory, kGroupSupport);
}

TEST(WatchdogDataRoot, WithoutAnAppGroupTheApplicationSupportFolderUnlessSandboxed) {
  EXPECT_EQ(WatchdogDataRoot::choose({kSupport, std::nullopt, std::nullopt, false}),
            (WatchdogDataRoot{kSupport, ""}));
  EXPECT_EQ(WatchdogDataRoot::choose({"/home/u/.local/share", std::nullopt, std::nullopt, false})
                .directory,
            "/home/u/.local/share");
  const WatchdogDataRoot sandboxed =
      WatchdogDataRoot::choose({kContainerSupport, std::nullopt, std::nullopt, true});
  EXPECT_EQ(sandboxed.directory, std::nullopt);
  EXPECT_EQ(sandboxed.failure,
            "sandboxed without an app group (VeldaneAppGroup in Info.plist): the watchdog cannot "
            "read this application's container");
  for (const std::optional<std::string>& none : {std::optional<std::string>(), {"relative"}}) {
    EXPECT_EQ(WatchdogDataRoot::choose({none, std::nullopt, std::nullopt, false}),
              (WatchdogDataRoot{std::nullopt,
                                "no per-user data folder (neither XDG_DATA_HOME nor a home "
                                "folder)"}));
  }
}

// Refused rather than falling back: the other side, which might have the
// container, would look there.
TEST(WatchdogDataRoot, AnAppGroupWithoutAUsableContainerOrNameIsRefusedSandboxedOrNot) {
  for (bool sandboxed : {false, true}) {
    const WatchdogDataRoot none =
        WatchdogDataRoot::choose({kSupport, kGroup, std::nullopt, sandboxed});
    EXPECT_EQ(none.directory, std::nullopt);
    EXPECT_EQ(none.failure,
              "no usable container for the app group \"ABCDE12345.com.example.a\": it must be in "
              "the com.apple.security.application-groups entitlement of the application and of "
              "its watchdog");
    EXPECT_EQ(WatchdogDataRoot::choose({kSupport, kGroup, "relative", sandboxed}).failure,
              none.failure);
    for (const char* group : {"", ".", "..", "a/b"}) {
      const WatchdogDataRoot bad =
          WatchdogDataRoot::choose({kSupport, group, kGroupContainer, sandboxed});
      EXPECT_EQ(bad.directory, std::nullopt) << group;
      EXPECT_TRUE(bad.failure.starts_with("the app group \"" + std::string(group) +
                                          "\" (VeldaneAppGroup) cannot name a folder"))
          << bad.failure;
    }
  }
}

TEST(WatchdogDataRoot, SandboxIsSeenInItsVariableOrAHomeInsideTheAccountsContainers) {
  EXPECT_TRUE(WatchdogDataRoot::looksSandboxed("com.example.a", "/Users/u", "/Users/u"));
  EXPECT_TRUE(WatchdogDataRoot::looksSandboxed(
      nullptr, "/Users/u/Library/Containers/com.example.a/Data", "/Users/u/"));
  EXPECT_TRUE(WatchdogDataRoot::looksSandboxed(nullptr, "/Library/Containers/x/Data", "/"));
  EXPECT_FALSE(WatchdogDataRoot::looksSandboxed(nullptr, "/Users/u", "/Users/u"));
  EXPECT_FALSE(WatchdogDataRoot::looksSandboxed("", "/Users/u", "/Users/u"));
  EXPECT_FALSE(
      WatchdogDataRoot::looksSandboxed(nullptr, "/Users/u/Library/Containers", "/Users/u"));
  EXPECT_FALSE(
      WatchdogDataRoot::looksSandboxed(nullptr, "/Users/u/Library/ContainersX/a", "/Users/u"));
  EXPECT_FALSE(
      WatchdogDataRoot::looksSandboxed(nullptr, "/Users/v/Library/Containers/a/Data", "/Users/u"));
  EXPECT_FALSE(WatchdogDataRoot::looksSandboxed(nullptr, "", "/Users/u"));
}

}  // namespace
}  // namespace veldane
