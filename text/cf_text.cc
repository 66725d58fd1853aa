#include "text/cf_text.h"

namespace veldane {

std::optional<std::string> utf8String(CFTypeRef object) {
  if (object == nullptr || CFGetTypeID(object) != CFStringGetTypeID()) return std::nullopt;
  const auto string = static_cast<CFStringRef>(object);
  const CFRange all{0, CFStringGetLength(string)};
  CFIndex size = 0;
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  std::string bytes(static_cast<size_t>(size), '\0');
  CFStringGetBytes(string, all, kCFStringEncodingUTF8, 0, false,
                   reinterpret_cast<UInt8*>(bytes.data()), size, &size);
  bytes.resize(static_cast<size_t>(size));
  return bytes;
}

}  // namespace veldane
