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
  EXPECT_EQ(WatchdogFiles::hashName(0xabcULL), "0000000000000abc");
}

TEST(WatchdogFiles, NormalizedAndIsNormalized) {
  const std::string cwd = std::filesystem::current_path().string();
  const std::string base = cwd == "/" ? "" : cwd;
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"/", "/"}, {"//", "/"}, {"/..", "/"}, {"/./.", "/"}, {"/a/b///", "/a/b"}, {"/a//b", "/a/b"},
      {"/a/./b/.", "/a/b"}, {"/a/x/../b/", "/a/b"}, {"/a/b/../..", "/"},
      {"a/b/", base + "/a/b"}, {"./a/../b", base + "/b"}, {"", cwd}};
  // clang-format on
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(WatchdogFiles::normalized(path), expected) << path;
    EXPECT_TRUE(WatchdogFiles::isNormalized(expected)) << expected;
    EXPECT_EQ(WatchdogFiles::isNormalized(path), path == expected) << path;
  }
}

TEST(WatchdogFiles, ResolvedFollowsLinksAsTheSystemDoes) {
  char pattern[] = "/tmp/files-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path root = pattern;
  std::filesystem::create_directories(root / "real/A.app");
  std::filesystem::create_directory_symlink(root / "real", root / "link");
  std::filesystem::create_directory_symlink(root / "real/A.app", root / "real/B.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/A.app/").string()), root / "real/A.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/B.app/../A.app").string()), root / "real/A.app");
  EXPECT_EQ(WatchdogFiles::resolved((root / "link/./gone.app/").string()), root / "link/gone.app");
  std::filesystem::remove_all(root);
}

TEST(WatchdogFiles, HostBundlePath) {
  EXPECT_EQ(WatchdogFiles::hostBundlePath("/Applications/Name.app/Contents/MacOS/Agent"),
            "/Applications/Name.app");
  EXPECT_EQ(WatchdogFiles::hostBundlePath("/Applications/./Name.app/Contents/x/../MacOS//Agent"),
            "/Applications/Name.app");
  EXPECT_EQ(WatchdogFiles::hostBundlePath("/a.b.app/Contents/MacOS/Agent"), "/a.b.app");
  for (const char* executable :
       {"/A/Name.app/Contents/MacOS/sub/Agent", "/A/Name.app/Contents/Helpers/Agent",
        "/A/Name.app/Contents/macos/Agent", "/A/Name.app/contents/MacOS/Agent",
        "/A/Name.APP/Contents/MacOS/Agent", "/A/Name.bundle/Contents/MacOS/Agent",
        "/A/.app/Contents/MacOS/Agent", "/Contents/MacOS/Agent", "/A/Name.app/Contents/MacOS/"}) {
    EXPECT_EQ(WatchdogFiles::hostBundlePath(executable), std::nullopt) << executable;
  }
}

TEST(WatchdogFiles, ForBundleNamesFolderAfterNormalisedPath) {
  const std::string hash = "0ad3b7850165bd28";  // of "/Applications/A.app"
  const WatchdogFiles files =
      WatchdogFiles::forBundle("/home/u/.local/share", "com.example.a", "/Applications/./A.app/");
  EXPECT_EQ(files.directory, "/home/u/.local/share/com.example.a/Watchdog/" + hash);
  // An identifier cannot lead out of the application-support folder.
  EXPECT_EQ(WatchdogFiles::forBundle("/s", "/etc", "/Applications/A.app").directory,
            "/s//etc/Watchdog/" + hash);
  using namespace std::string_literals;
  // clang-format off
  for (const auto& [identifier, usable] :
       {std::pair{"com.example.a"s, true}, {".a..", true}, {"", false}, {".", false},
        {"..", false}, {"/etc", false}, {"a/b", false}, {"a\0b"s, false}}) {
    // clang-format on
    EXPECT_EQ(WatchdogFiles::isUsableBundleIdentifier(identifier), usable) << identifier;
  }
}

}  // namespace
}  // namespace veldane
