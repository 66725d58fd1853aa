#include "text/canonical_text.h"

#include "platform/macos/cf_ref.h"
#include "platform/macos/sdk_declarations.h"
#include "text/cf_text.h"

namespace veldane::CanonicalText {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

std::optional<std::string> composed(std::string_view text) {
  if (text.empty()) return std::string();
  // Refuses text that is not valid UTF-8.
  CFRef<CFStringRef> decoded(CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
      static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
  if (!decoded) return std::nullopt;
  CFRef<CFMutableStringRef> normal(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, decoded.get()));
  if (!normal) return std::nullopt;
  CFStringNormalize(normal.get(), kCFStringNormalizationFormC);
  std::optional<std::string> result = utf8String(normal.get());
  // CoreFoundation may take a leading U+FEFF for a byte order mark and drop
  // it; it is a character of the text here.
  if (result && text.starts_with(kByteOrderMark) && !result->starts_with(kByteOrderMark)) {
    result->insert(0, kByteOrderMark);
  }
  return result;
}

}  // namespace veldane::CanonicalText
