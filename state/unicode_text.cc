#include "state/unicode_text.h"

#include <cstdlib>
#include <optional>

#include <utf8proc.h>

namespace veldane {
namespace {

// NFC, the form that also keeps "e" from being a prefix of "é". Absent when
// the text is not valid UTF-8.
std::optional<std::string> canonical(std::string_view text) {
  if (text.empty()) return std::string();
  utf8proc_uint8_t* mapped = nullptr;
  utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::nullopt;
  std::string result(reinterpret_cast<const char*>(mapped), static_cast<size_t>(length));
  std::free(mapped);
  return result;
}

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
  std::optional<std::string> canonicalA = canonical(a);
  std::optional<std::string> canonicalB = canonical(b);
  if (!canonicalA || !canonicalB) return false;  // The bytes already differ.
  return *canonicalA == *canonicalB;
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
  if (isAscii(text) && isAscii(prefix)) return text.starts_with(prefix);
  std::optional<std::string> canonicalText = canonical(text);
  std::optional<std::string> canonicalPrefix = canonical(prefix);
  if (!canonicalText || !canonicalPrefix) return text.starts_with(prefix);
  return std::string_view(*canonicalText).starts_with(*canonicalPrefix);
}

}  // namespace UnicodeText
}  // namespace veldane
