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

class PlistBundleReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "plist-reader-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    bundle_ = root_ / "Name.app";
    ASSERT_TRUE(fs::create_directories(bundle_ / "Contents"));
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path infoPlist() const { return bundle_ / "Contents" / "Info.plist"; }
  void writeInfo(const std::string& bytes) {
    std::ofstream(infoPlist(), std::ios::binary) << bytes;
  }
  std::optional<BundleInfo> read() { return PlistBundleReader().open(bundle_.string()); }

  fs::path root_;
  fs::path bundle_;
};

TEST_F(PlistBundleReaderTest, ReadsXml) {
  writeInfo(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.example.app</string>
  <key>CFBundleExecutable</key><string>Example</string>
</dict></plist>)");
  EXPECT_EQ(read(), (BundleInfo{"com.example.app", "Example"}));
}

TEST_F(PlistBundleReaderTest, ReadsBinary) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("com.example.bin"));
  plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string("Binary"));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  plist_free(dict);
  ASSERT_NE(bytes, nullptr);
  writeInfo(std::string(bytes, length));
  plist_to_bin_free(bytes);
  EXPECT_EQ(read(), (BundleInfo{"com.example.bin", "Binary"}));
}

TEST_F(PlistBundleReaderTest, NonStringValuesAreAbsent) {
  writeInfo(R"(<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><integer>7</integer>
  <key>CFBundleExecutable</key><array><string>Example</string></array>
</dict></plist>)");
  EXPECT_EQ(read(), BundleInfo{});
}

TEST_F(PlistBundleReaderTest, UnreadableInfoCannotBeOpened) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {}},
      {"empty", [](const fs::path& p) { std::ofstream{p}; }},
      {"garbage", [](const fs::path& p) { std::ofstream{p} << "\x01\x02<plist><dict><key>"; }},
      {"not a dict",
       [](const fs::path& p) { std::ofstream{p} << "<plist><string>x</string></plist>"; }},
      {"oversized",
       [](const fs::path& p) {
         std::ofstream out{p};
         out << "<plist><dict><key>CFBundleIdentifier</key><string>"
             << std::string(PlistBundleReader::kMaxInfoPlistSize, 'a')
             << "</string></dict></plist>";
       }},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(infoPlist());
    c.make(infoPlist());
    EXPECT_EQ(read(), std::nullopt);
  }
}

}  // namespace
}  // namespace veldane
