#ifndef VELDANE_HOST_HOST_TEST_SUPPORT_H_
#define VELDANE_HOST_HOST_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/application_support.h"
#include "state/test_support.h"
#include "state/watchdog_files.h"

namespace veldane {

// A bundle Probe.app/Contents/{Info.plist,MacOS/} and a home folder in a
// temporary folder: HOME points there and XDG_DATA_HOME is unset until the
// value goes.
class TestBundle : TestFolder {
 public:
  static constexpr const char* kIdentifier = "com.example.probe";

  explicit TestBundle(bool withInfoPlist = true) {
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
  ~TestBundle() {
    xdg_.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", xdg_.c_str(), 1);
    home_.empty() ? unsetenv("HOME") : setenv("HOME", home_.c_str(), 1);
  }

  std::filesystem::path bundle() const { return path / "Probe.app"; }
  std::filesystem::path home() const { return path / "home"; }
  WatchdogFiles files(const std::string& identifier = kIdentifier) const {
    return WatchdogFiles::forBundle(applicationSupportDirectory().value_or(""), identifier,
                                    bundle().string());
  }

 private:
  std::string xdg_, home_;
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_TEST_SUPPORT_H_
