#ifndef VELDANE_PLATFORM_MACOS_CF_BUNDLE_READER_H_
#define VELDANE_PLATFORM_MACOS_CF_BUNDLE_READER_H_

#include <optional>
#include <string>

#include "platform/bundle_reader.h"

namespace veldane {

// Opens a bundle through CFBundle, which reads Contents/Info.plist in any of
// its forms. CoreFoundation keeps a bundle it has opened for the life of the
// process: a later change to its Info.plist is not seen.
class CFBundleReader final : public BundleReader {
 public:
  std::optional<BundleInfo> open(const std::string& bundlePath) override;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_CF_BUNDLE_READER_H_
