#include "state/watchdog_files.h"

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(WatchdogFiles, Fnv1aPublishedVectors) {
  EXPECT_EQ(WatchdogFiles::fnv1a(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(WatchdogFiles::fnv1a("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(WatchdogFiles::fnv1a("foobar"), 0x85944171f73967e8ULL);
  EXPECT_EQ(WatchdogFiles::hashName(WatchdogFiles::fnv1a("")), "cbf29ce484222325");
}

TEST(WatchdogFiles, HashNameKeepsLeadingZeros) {
  EXPECT_EQ(WatchdogFiles::hashName(0), "0000000000000000");
  EXPECT_EQ(WatchdogFiles::hashName(0xabcULL), "0000000000000abc");
  EXPECT_EQ(WatchdogFiles::hashName(0xFFFFFFFFFFFFFFFFULL), "ffffffffffffffff");
}

TEST(WatchdogFiles, NormalizedAbsolutePaths) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/..", "/"},
      {"/./.", "/"},
      {"/a/b/", "/a/b"},
      {"/a/b///", "/a/b"},
      {"/a//b", "/a/b"},
      {"/a/./b/.", "/a/b"},
      {"/a/x/../b", "/a/b"},
      {"/a/b/..", "/a"},
      {"/a/b/../..", "/"},
      {"/A.app/Contents/MacOS/../../", "/A.app"},
      {"/Caf\xC3\xA9/x", "/Caf\xC3\xA9/x"},  // no Unicode rewriting
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WatchdogFiles::normalized(c.path), c.expected) << c.path;
  }
}

TEST(WatchdogFiles, NormalizedRelativePathsUseWorkingDirectory) {
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_TRUE(cwd.starts_with("/"));
  const std::string base = cwd == "/" ? "" : cwd;
  EXPECT_EQ(WatchdogFiles::normalized("a/b/"), base + "/a/b");
  EXPECT_EQ(WatchdogFiles::normalized("./a/../b"), base + "/b");
  EXPECT_EQ(WatchdogFiles::normalized(""), cwd);
  EXPECT_EQ(WatchdogFiles::normalized("."), cwd);
}

TEST(WatchdogFiles, HostBundlePath) {
  struct Case {
    const char* executable;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"/Applications/Name.app/Contents/MacOS/Agent", "/Applications/Name.app"},
      {"/Applications/./Name.app/Contents/x/../MacOS/Agent", "/Applications/Name.app"},
      {"/Applications//Name.app/Contents/MacOS//Agent", "/Applications/Name.app"},
      {"/Name.app/Contents/MacOS/Agent", "/Name.app"},
      {"/a.b.app/Contents/MacOS/Agent", "/a.b.app"},
      {"/Applications/Name.app/Contents/MacOS/sub/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/Helpers/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/macos/Agent", std::nullopt},
      {"/Applications/Name.app/contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.APP/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.bundle/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/.app/Contents/MacOS/Agent", std::nullopt},
      {"/Contents/MacOS/Agent", std::nullopt},
      {"/Applications/Name.app/Contents/MacOS", std::nullopt},
      {"/Applications/Name.app/Contents/MacOS/", std::nullopt},
      {"/", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WatchdogFiles::hostBundlePath(c.executable), c.expected) << c.executable;
  }
}

TEST(WatchdogFiles, ForBundleNamesFolderAfterNormalisedPath) {
  const std::string hash = WatchdogFiles::hashName(WatchdogFiles::fnv1a("/Applications/A.app"));
  const WatchdogFiles files =
      WatchdogFiles::forBundle("/home/u/.local/share", "com.example.a", "/Applications/./A.app/");
  EXPECT_EQ(files.directory,
            std::filesystem::path("/home/u/.local/share/com.example.a/Watchdog") / hash);
  EXPECT_EQ(files, WatchdogFiles::forBundle("/home/u/.local/share", "com.example.a",
                                            "/Applications/A.app"));
  EXPECT_EQ(files.ledgerPath(), files.directory / "watchdog.json");
  EXPECT_EQ(files.hostRecordPath(), files.directory / "host.json");
  EXPECT_EQ(files.hangNotePath(), files.directory / "hang.json");
  // An identifier cannot lead out of the application-support folder.
  EXPECT_EQ(WatchdogFiles::forBundle("/s", "/etc", "/Applications/A.app").directory.string(),
            "/s//etc/Watchdog/" + hash);
}

}  // namespace
}  // namespace veldane
