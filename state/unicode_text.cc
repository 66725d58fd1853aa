#include "state/unicode_text.h"

#include <optional>

#include "text/canonical_text.h"

namespace veldane {
namespace {

// ASCII text is its own canonical form. (A non-ASCII text may still have an
// ASCII one, e.g. the Kelvin sign, so only two ASCII texts take the shortcut.)
bool isAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

namespace UnicodeText {

bool equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  std::optional<std::string> canonicalA = CanonicalText::composed(a);
  std::optional<std::string> canonicalB = CanonicalText::composed(b);
  if (!canonicalA || !canonicalB) return false;  // The bytes already differ.
  return *canonicalA == *canonicalB;
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
  if (isAscii(text) && isAscii(prefix)) return text.starts_with(prefix);
  std::optional<std::string> canonicalText = CanonicalText::composed(text);
  std::optional<std::string> canonicalPrefix = CanonicalText::composed(prefix);
  if (!canonicalText || !canonicalPrefix) return text.starts_with(prefix);
  return std::string_view(*canonicalText).starts_with(*canonicalPrefix);
}

}  // namespace UnicodeText
}  // namespace veldane
