#ifndef VELDANE_HOST_HOST_TEST_SUPPORT_H_
#define VELDANE_HOST_HOST_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/application_support.h"
#include "state/watchdog_files.h"

namespace veldane {

// A fresh folder under the temporary folder, removed with its content.
class TestFolder {
 public:
  TestFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "host_test.XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  ~TestFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets or clears an environment variable for one test.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A temporary home with an application bundle in it:
// <root>/Probe.app/Contents/{Info.plist,MacOS/}, and HOME = <root>/home.
class TestBundle {
 public:
  static constexpr const char* kIdentifier = "com.example.probe";

  explicit TestBundle(bool withInfoPlist = true) {
    std::filesystem::create_directories(bundle() / "Contents/MacOS");
    if (!withInfoPlist) return;
    std::ofstream(bundle() / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << kIdentifier << "</string>"
        << "<key>CFBundleExecutable</key><string>Probe</string></dict></plist>\n";
  }
  std::filesystem::path bundle() const { return root_.path() / "Probe.app"; }
  std::filesystem::path home() const { return root_.path() / "home"; }
  // The watchdog's folder for this bundle, derived its way.
  WatchdogFiles files() const {
    return WatchdogFiles::forBundle(applicationSupportDirectory().value_or(""), kIdentifier,
                                    bundle().string());
  }

 private:
  TestFolder root_;
  ScopedEnvironment home_{"HOME", home().c_str()};
  ScopedEnvironment xdg_{"XDG_DATA_HOME", nullptr};
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_TEST_SUPPORT_H_
