#include "platform/linux/plist_bundle_reader.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

std::string plist(const std::string& dict) {
  return "<plist version=\"1.0\"><dict>" + dict + "</dict></plist>";
}

TEST(PlistBundleReader, ReadsOnlyASmallWellFormedDictionary) {
  const std::optional<BundleInfo> unreadable;
  const struct {
    const char* name;
    std::string data;
    std::optional<BundleInfo> expected;
  } cases[] = {
      {"strings",
       plist("<key>CFBundleIdentifier</key><string>com.example.app</string>"
             "<key>CFBundleExecutable</key><string>Example</string>"),
       BundleInfo{"com.example.app", "Example"}},
      {"values not strings",
       plist("<key>CFBundleIdentifier</key><integer>7</integer>"
             "<key>CFBundleExecutable</key><array><string>Example</string></array>"),
       BundleInfo{}},
      {"garbage", "\x01\x02<plist><dict><key>", unreadable},
      {"not a dict", "<plist><string>x</string></plist>", unreadable},
      {"oversized",
       plist("<key>CFBundleIdentifier</key><string>" +
             std::string(PlistBundleReader::kMaxInfoPlistSize, 'a') + "</string>"),
       unreadable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PlistBundleReader::parse(c.data), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace veldane
