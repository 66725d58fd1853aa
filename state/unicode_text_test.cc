#include "state/unicode_text.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(UnicodeText, EqualUnderCanonicalEquivalenceWithoutCaseFolding) {
  EXPECT_TRUE(UnicodeText::equal("Caf\xC3\xA9", "Cafe\xCC\x81"));  // U+00E9 vs e + U+0301
  EXPECT_TRUE(UnicodeText::equal("", ""));
  EXPECT_FALSE(UnicodeText::equal("Cafe", "Caf\xC3\xA9"));
  EXPECT_FALSE(UnicodeText::equal("Caf\xC3\x89", "Caf\xC3\xA9"));  // É vs é
  EXPECT_FALSE(UnicodeText::equal(std::string_view("a\0b", 3), "a"));
  // Not UTF-8: bytes decide.
  EXPECT_TRUE(UnicodeText::equal("Caf\xFF", "Caf\xFF"));
  EXPECT_FALSE(UnicodeText::equal("Caf\xFF", "Caf\xC3\xA9"));
}

TEST(UnicodeText, HasPrefixOnCanonicalForms) {
  struct Case {
    const char* text;
    const char* prefix;
    bool expected;
  };
  const Case cases[] = {
      {"/A/Caf\xC3\xA9.app/Contents", "/A/Cafe\xCC\x81.app/", true},
      {"/A/Cafe\xCC\x81.app/Contents", "/A/Caf\xC3\xA9.app", true},
      {"/A/Caf\xC3\xA9.app", "/A/Cafe", false},  // "e" does not begin "é"
      {"/A/X.app", "", true},
      {"", "/", false},
      {"/A/x.app", "/A/X.app", false},
      {"/a\xFF/b", "/a\xFF", true},
      {"/a\xFF/b", "/b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeText::hasPrefix(c.text, c.prefix), c.expected) << c.text << " " << c.prefix;
  }
}

}  // namespace
}  // namespace veldane
