#include "state/watchdog_files.h"

#include <gtest/gtest.h>

#include "state/test_support.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

// normalized() and isNormalized() are held to std::filesystem by the paths
// fuzz target, whose corpus the unit tests replay.
TEST(WatchdogFiles, ResolvedFollowsLinksAsTheSystemDoes) {
  TestFolder folder;
  const fs::path& root = folder.path;
  fs::create_directories(root / "real/A.app");
  fs::create_directory_symlink(root / "real", root / "link");
  fs::create_directory_symlink(root / "real/A.app", root / "real/B.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/A.app/").string()), root / "real/A.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/B.app/../A.app").string()), root / "real/A.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/./gone.app/").string()), root / "link/gone.app");
}

TEST(WatchdogFiles, HostBundlePath) {
  EXPECT_EQ(WatchdogFiles::hostBundlePath("/Applications/./Name.app/Contents/x/../MacOS//Agent"),
            "/Applications/Name.app");
  EXPECT_EQ(WatchdogFiles::hostBundlePath("/a.b.app/Contents/MacOS/Agent"), "/a.b.app");
  for (const char* executable :
       {"/A/Name.app/Contents/MacOS/sub/Agent", "/A/Name.app/Contents/Helpers/Agent",
        "/A/Name.app/contents/MacOS/Agent", "/A/Name.APP/Contents/MacOS/Agent",
        "/A/.app/Contents/MacOS/Agent", "/Contents/MacOS/Agent", "/A/Name.app/Contents/MacOS/"}) {
    EXPECT_EQ(WatchdogFiles::hostBundlePath(executable), std::nullopt) << executable;
  }
}

TEST(WatchdogFiles, ForBundleNamesFolderAfterHashOfNormalisedPath) {
  const std::string hash = "0ad3b7850165bd28";  // FNV-1a of "/Applications/A.app"
  const WatchdogFiles files =
      WatchdogFiles::forBundle("/home/u/.local/share", "com.example.a", "/Applications/./A.app/");
  EXPECT_EQ(files.directory(), "/home/u/.local/share/com.example.a/Watchdog/" + hash);
  // An identifier cannot lead out of the application-support folder.
  EXPECT_EQ(WatchdogFiles::forBundle("/s", "/etc", "/Applications/A.app").directory(),
            "/s//etc/Watchdog/" + hash);
  using namespace std::string_literals;
  for (const auto& [identifier, usable] :
       {std::pair{"com.example.a"s, true}, {".a..", true}, {"", false}, {".", false},
        {"..", false}, {"/etc", false}, {"a/b", false}, {"a\0b"s, false}}) {
    EXPECT_EQ(WatchdogFiles::isUsableBundleIdentifier(identifier), usable) << identifier;
  }
}

}  // namespace
}  // namespace veldane
