#include "state/unicode_text.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

constexpr const char* kPrecomposed = "Caf\xC3\xA9";  // "Café" with U+00E9
constexpr const char* kDecomposed = "Cafe\xCC\x81";  // "Cafe" + U+0301
constexpr const char* kInvalid = "Caf\xFF";          // not UTF-8

TEST(UnicodeText, EqualUnderCanonicalEquivalence) {
  EXPECT_TRUE(UnicodeText::equal(kPrecomposed, kDecomposed));
  EXPECT_TRUE(UnicodeText::equal("", ""));
  EXPECT_TRUE(UnicodeText::equal(std::string_view("a\0b", 3), std::string_view("a\0b", 3)));
  EXPECT_FALSE(UnicodeText::equal(std::string_view("a\0b", 3), "a"));
  EXPECT_FALSE(UnicodeText::equal("Cafe", kPrecomposed));
  EXPECT_FALSE(UnicodeText::equal("caf\xC3\xA9", kPrecomposed)) << "no case folding";
  EXPECT_FALSE(UnicodeText::equal("Caf\xC3\x89", kPrecomposed)) << "no case folding";
}

TEST(UnicodeText, InvalidUtf8ComparesBytes) {
  EXPECT_TRUE(UnicodeText::equal(kInvalid, kInvalid));
  EXPECT_FALSE(UnicodeText::equal(kInvalid, "Caf"));
  EXPECT_FALSE(UnicodeText::equal(kInvalid, kPrecomposed));
  EXPECT_TRUE(UnicodeText::hasPrefix("/a\xFF/b", "/a\xFF"));
  EXPECT_FALSE(UnicodeText::hasPrefix("/a\xFF/b", "/b"));
  EXPECT_TRUE(UnicodeText::hasPrefix("/a\xFF/b", "/a"));
}

TEST(UnicodeText, HasPrefixOnCanonicalForms) {
  struct Case {
    const char* text;
    const char* prefix;
    bool expected;
  };
  const Case cases[] = {
      {"/Apps/Caf\xC3\xA9.app/Contents", "/Apps/Cafe\xCC\x81.app/", true},
      {"/Apps/Cafe\xCC\x81.app/Contents", "/Apps/Caf\xC3\xA9.app", true},
      {"/Apps/Caf\xC3\xA9.app", "/Apps/Cafe", false},  // "e" is not a prefix of "é"
      {"/Apps/X.app", "", true},
      {"", "", true},
      {"", "/", false},
      {"/Apps/x.app", "/Apps/X.app", false},
      {"/Apps", "/Apps/X", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeText::hasPrefix(c.text, c.prefix), c.expected) << c.text << " / " << c.prefix;
  }
}

}  // namespace
}  // namespace veldane
