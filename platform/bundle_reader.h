#ifndef VELDANE_PLATFORM_BUNDLE_READER_H_
#define VELDANE_PLATFORM_BUNDLE_READER_H_

#include <optional>
#include <string>

namespace veldane {

// What an application bundle says about itself.
struct BundleInfo {
  std::optional<std::string> identifier;      // CFBundleIdentifier
  std::optional<std::string> executableName;  // CFBundleExecutable, in Contents/MacOS

  friend bool operator==(const BundleInfo&, const BundleInfo&) = default;
};

class BundleReader {
 public:
  virtual ~BundleReader() = default;
  // Absent when the bundle cannot be opened; one without a readable property
  // list gives absent (Linux) or no identifier (macOS).
  virtual std::optional<BundleInfo> open(const std::string& bundlePath) = 0;
};

// The system's own reader, stateless; safe to use from any thread.
BundleReader& systemBundleReader();

}  // namespace veldane

#endif  // VELDANE_PLATFORM_BUNDLE_READER_H_
