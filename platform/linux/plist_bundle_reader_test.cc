#include "platform/linux/plist_bundle_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace veldane {
namespace {

namespace fs = std::filesystem;

using Make = std::function<void(const fs::path&)>;

Make bytes(const std::string& content) {
  return [content](const fs::path& p) { std::ofstream(p, std::ios::binary) << content; };
}

Make xml(const std::string& dict) {
  return bytes("<plist version=\"1.0\"><dict>" + dict + "</dict></plist>");
}

TEST(PlistBundleReader, ReadsOnlyASmallRegularWellFormedInfoPlist) {
  std::string pattern = (fs::temp_directory_path() / "plist-reader-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path info = fs::path(pattern) / "Name.app" / "Contents" / "Info.plist";
  ASSERT_TRUE(fs::create_directories(info.parent_path()));
  const std::optional<BundleInfo> unreadable;
  const struct {
    const char* name;
    Make make;
    std::optional<BundleInfo> expected;
  } cases[] = {
      {"xml",
       xml("<key>CFBundleIdentifier</key><string>com.example.app</string>"
           "<key>CFBundleExecutable</key><string>Example</string>"),
       BundleInfo{"com.example.app", "Example"}},
      {"values not strings",
       xml("<key>CFBundleIdentifier</key><integer>7</integer>"
           "<key>CFBundleExecutable</key><array><string>Example</string></array>"),
       BundleInfo{}},
      {"missing", [](const fs::path&) {}, unreadable},
      {"garbage", bytes("\x01\x02<plist><dict><key>"), unreadable},
      {"not a dict", bytes("<plist><string>x</string></plist>"), unreadable},
      {"oversized",
       xml("<key>CFBundleIdentifier</key><string>" +
           std::string(PlistBundleReader::kMaxInfoPlistSize, 'a') + "</string>"),
       unreadable},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(info);
    c.make(info);
    EXPECT_EQ(PlistBundleReader().open(pattern + "/Name.app"), c.expected);
  }
  fs::remove_all(pattern);
}

}  // namespace
}  // namespace veldane
