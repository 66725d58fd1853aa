#include "state/unicode_text.h"

#include <string_view>

#include <gtest/gtest.h>

namespace veldane {
namespace {

// "\xC3\xA9" is é precomposed, "e\xCC\x81" decomposed; "\xFF" is not UTF-8, compared by bytes.
TEST(UnicodeText, ComparesCanonicalFormsWithoutCaseFolding) {
  struct Case {
    std::string_view a, b;
    bool equal, hasPrefix;  // a == b, a begins with b
  };
  // clang-format off
  const Case cases[] = {
      {"Caf\xC3\xA9", "Cafe\xCC\x81", true, true},
      {"/A/Cafe\xCC\x81.app/Contents", "/A/Caf\xC3\xA9.app/", false, true},
      {"Caf\xC3\xA9", "Cafe", false, false},         // "e" does not begin "é"
      {"Caf\xC3\x89", "Caf\xC3\xA9", false, false},  // É vs é
      {"Caf\xFF", "Caf\xFF", true, true}, {"Caf\xFF", "Caf\xC3\xA9", false, false},
      {"/a\xFF/b", "/a\xFF", false, true},
      {"\xE2\x84\xAA", "K", true, true}};  // the Kelvin sign's canonical form is ASCII
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeText::equal(c.a, c.b), c.equal) << c.a << " | " << c.b;
    EXPECT_EQ(UnicodeText::equal(c.b, c.a), c.equal) << c.b << " | " << c.a;
    EXPECT_EQ(UnicodeText::hasPrefix(c.a, c.b), c.hasPrefix) << c.a << " | " << c.b;
  }
}

}  // namespace
}  // namespace veldane
