#ifndef VELDANE_HOST_HOST_TEST_SUPPORT_H_
#define VELDANE_HOST_HOST_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/application_support.h"
#include "state/watchdog_files.h"

namespace veldane {

// A temporary folder, removed with its content, holding a bundle
// Probe.app/Contents/{Info.plist,MacOS/} and the home folder: HOME points
// there and XDG_DATA_HOME is unset until the value goes.
class TestBundle {
 public:
  static constexpr const char* kIdentifier = "com.example.probe";

  explicit TestBundle(bool withInfoPlist = true) {
    std::string pattern = (std::filesystem::temp_directory_path() / "host_test.XXXXXX").string();
    root_ = mkdtemp(pattern.data()) ? pattern : "/nonexistent";
    std::filesystem::create_directories(bundle() / "Contents/MacOS");
    if (withInfoPlist) {
      std::ofstream(bundle() / "Contents/Info.plist")
          << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
          << "<string>" << kIdentifier << "</string></dict></plist>";
    }
    if (const char* xdg = getenv("XDG_DATA_HOME")) xdg_ = xdg;
    if (const char* home = getenv("HOME")) home_ = home;
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home().c_str(), 1);
  }
  TestBundle(const TestBundle&) = delete;
  TestBundle& operator=(const TestBundle&) = delete;
  ~TestBundle() {
    xdg_.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", xdg_.c_str(), 1);
    home_.empty() ? unsetenv("HOME") : setenv("HOME", home_.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::filesystem::path bundle() const { return root_ / "Probe.app"; }
  std::filesystem::path home() const { return root_ / "home"; }
  // The watchdog's folder for this bundle, derived its way.
  WatchdogFiles files(const std::string& identifier = kIdentifier) const {
    return WatchdogFiles::forBundle(applicationSupportDirectory().value_or(""), identifier,
                                    bundle().string());
  }

 private:
  std::filesystem::path root_;
  std::string xdg_, home_;
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_TEST_SUPPORT_H_
