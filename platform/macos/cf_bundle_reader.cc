#include "platform/macos/cf_bundle_reader.h"

#include "platform/macos/cf_ref.h"
#include "platform/macos/sdk_declarations.h"
#include "text/cf_text.h"

namespace veldane {

std::optional<BundleInfo> CFBundleReader::open(const std::string& bundlePath) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bundlePath.data()),
      static_cast<CFIndex>(bundlePath.size()), true));
  if (!url) return std::nullopt;
  CFRef<CFBundleRef> bundle(CFBundleCreate(kCFAllocatorDefault, url.get()));
  if (!bundle) return std::nullopt;
  BundleInfo info;
  info.identifier = utf8String(CFBundleGetIdentifier(bundle.get()));
  info.executableName =
      utf8String(CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleExecutableKey));
  return info;
}

BundleReader& systemBundleReader() {
  static CFBundleReader reader;
  return reader;
}

}  // namespace veldane
