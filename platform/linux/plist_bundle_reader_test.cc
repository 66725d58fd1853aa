#include "platform/linux/plist_bundle_reader.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
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

std::string binaryPlist() {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("com.example.bin"));
  plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string("Binary"));
  char* data = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &data, &length);
  plist_free(dict);
  std::string result = data ? std::string(data, length) : "";
  plist_to_bin_free(data);
  return result;
}

TEST(PlistBundleReader, ReadsOnlyASmallRegularWellFormedInfoPlist) {
  std::string pattern = (fs::temp_directory_path() / "plist-reader-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern, info = root / "Name.app" / "Contents" / "Info.plist";
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
      {"binary", bytes(binaryPlist()), BundleInfo{"com.example.bin", "Binary"}},
      {"values not strings",
       xml("<key>CFBundleIdentifier</key><integer>7</integer>"
           "<key>CFBundleExecutable</key><array><string>Example</string></array>"),
       BundleInfo{}},
      {"missing", [](const fs::path&) {}, unreadable},
      {"empty", bytes(""), unreadable},
      {"garbage", bytes("\x01\x02<plist><dict><key>"), unreadable},
      {"not a dict", bytes("<plist><string>x</string></plist>"), unreadable},
      {"oversized",
       xml("<key>CFBundleIdentifier</key><string>" +
           std::string(PlistBundleReader::kMaxInfoPlistSize, 'a') + "</string>"),
       unreadable},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, unreadable},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(info);
    c.make(info);
    EXPECT_EQ(PlistBundleReader().open((root / "Name.app").string()), c.expected);
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace veldane
