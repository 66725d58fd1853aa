#include "state/watchdog_files.h"

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(WatchdogFiles, Fnv1aAndHashName) {
  EXPECT_EQ(WatchdogFiles::fnv1a(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(WatchdogFiles::fnv1a("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(WatchdogFiles::fnv1a("foobar"), 0x85944171f73967e8ULL);
  EXPECT_EQ(WatchdogFiles::hashName(WatchdogFiles::fnv1a("")), "cbf29ce484222325");
  EXPECT_EQ(WatchdogFiles::hashName(0xabcULL), "0000000000000abc");
}

TEST(WatchdogFiles, Normalized) {
  const std::string cwd = std::filesystem::current_path().string();
  const std::string base = cwd == "/" ? "" : cwd;
  const std::pair<std::string, std::string> cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/..", "/"},
      {"/./.", "/"},
      {"/a/b///", "/a/b"},
      {"/a//b", "/a/b"},
      {"/a/./b/.", "/a/b"},
      {"/a/x/../b/", "/a/b"},
      {"/a/b/../..", "/"},
      {"a/b/", base + "/a/b"},
      {"./a/../b", base + "/b"},
      {"", cwd},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(WatchdogFiles::normalized(path), expected) << path;
  }
}

TEST(WatchdogFiles, HostBundlePath) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"/Applications/Name.app/Contents/MacOS/Agent", "/Applications/Name.app"},
      {"/Applications/./Name.app/Contents/x/../MacOS//Agent", "/Applications/Name.app"},
      {"/a.b.app/Contents/MacOS/Agent", "/a.b.app"},
      {"/Applications/Name.app/Contents/MacOS/sub/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/Helpers/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/macos/Agent", std::nullopt},
      {"/Applications/Name.app/contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.APP/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.bundle/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/.app/Contents/MacOS/Agent", std::nullopt},
      {"/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/MacOS/", std::nullopt},
  };
  for (const auto& [executable, expected] : cases) {
    EXPECT_EQ(WatchdogFiles::hostBundlePath(executable), expected) << executable;
  }
}

TEST(WatchdogFiles, ForBundleNamesFolderAfterNormalisedPath) {
  const std::string hash = WatchdogFiles::hashName(WatchdogFiles::fnv1a("/Applications/A.app"));
  const WatchdogFiles files =
      WatchdogFiles::forBundle("/home/u/.local/share", "com.example.a", "/Applications/./A.app/");
  EXPECT_EQ(files.directory, "/home/u/.local/share/com.example.a/Watchdog/" + hash);
  EXPECT_EQ(files.ledgerPath(), files.directory / "watchdog.json");
  // An identifier cannot lead out of the application-support folder.
  EXPECT_EQ(WatchdogFiles::forBundle("/s", "/etc", "/Applications/A.app").directory,
            "/s//etc/Watchdog/" + hash);
}

}  // namespace
}  // namespace veldane
