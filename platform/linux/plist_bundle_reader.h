#ifndef VELDANE_PLATFORM_LINUX_PLIST_BUNDLE_READER_H_
#define VELDANE_PLATFORM_LINUX_PLIST_BUNDLE_READER_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle_reader.h"

namespace veldane {

// Reads `<bundle>/Contents/Info.plist`, XML or binary.
class PlistBundleReader final : public BundleReader {
 public:
  // A property list larger than this is not read.
  static constexpr size_t kMaxInfoPlistSize = 1 << 20;

  std::optional<BundleInfo> open(const std::string& bundlePath) override;

  // What a property list's bytes say; absent unless they hold a dictionary.
  static std::optional<BundleInfo> parse(std::string_view data);
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PLIST_BUNDLE_READER_H_
