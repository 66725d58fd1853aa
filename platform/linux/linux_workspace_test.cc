#include "platform/linux/linux_workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/linux/linux_main_loop.h"
#include "platform/linux/plist_bundle_reader.h"
#include "platform/linux/process_launcher.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

class LinuxWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Detached programs become our children again, to be reaped.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string pattern = (fs::temp_directory_path() / "workspace-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    bundle_ = WatchdogFiles::normalized((root_ / "Name.app").string());
    fs::create_directories(fs::path(bundle_) / "Contents" / "MacOS");
    std::ofstream(fs::path(bundle_) / "Contents" / "Info.plist")
        << "<plist><dict><key>CFBundleIdentifier</key><string>com.example.ws</string>"
           "<key>CFBundleExecutable</key><string>Name</string></dict></plist>";
    for (const char* name : {"Name", "Helper"}) {
      fs::copy_file("/bin/sleep", fs::path(bundle_) / "Contents" / "MacOS" / name);
    }
  }

  void TearDown() override {
    const std::string under = fs::canonical(root_).string() + "/";
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ignored;
      if (fs::read_symlink(entry.path() / "exe", ignored).string().starts_with(under)) {
        kill(std::stoi(entry.path().filename()), SIGKILL);
      }
    }
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    fs::remove_all(root_);
  }

  std::optional<std::string> open(const std::string& bundle) {
    std::optional<std::optional<std::string>> result;
    workspace_.openApplication(
        bundle, {"60"}, [&](std::optional<std::string> error) { result = std::move(error); });
    EXPECT_FALSE(result.has_value()) << "completion came before the loop ran";
    loop_.runOneIteration(1);
    EXPECT_TRUE(result.has_value());
    return result.value_or("no completion");
  }

  LinuxMainLoop loop_;
  PlistBundleReader reader_;
  LinuxWorkspace workspace_{loop_, reader_};
  fs::path root_;
  std::string bundle_;
};

TEST_F(LinuxWorkspaceTest, FindsTheOpenedApplicationOnlyAndSaysWhyABundleCannotBeOpened) {
  ASSERT_EQ(open(bundle_), std::nullopt);
  // A helper from the same bundle is no application.
  const std::string helper = bundle_ + "/Contents/MacOS/Helper";
  ASSERT_EQ(ProcessLauncher::launchDetached(helper, {"60"}), std::nullopt);
  const std::vector<RunningApplication> programs = workspace_.processesRunning(helper);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(programs[0].session, programs[0].pid);
  const std::vector<RunningApplication> apps = workspace_.runningApplications("com.example.ws");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_FALSE(apps[0].terminated);
  EXPECT_EQ(apps[0].bundlePath, bundle_);
  EXPECT_NE(apps[0].pid, programs[0].pid);
  EXPECT_TRUE(workspace_.runningApplications("com.example.other").empty());

  const fs::path info = fs::path(bundle_) / "Contents" / "Info.plist";
  const std::string cannot = bundle_ + ": cannot open the application bundle (";
  fs::remove(info.parent_path() / "MacOS" / "Name");
  EXPECT_EQ(open(bundle_), bundle_ + "/Contents/MacOS/Name: No such file or directory");
  std::ofstream(info) << "<plist><dict><key>CFBundleIdentifier</key>"
                         "<string>com.example.ws</string></dict></plist>";
  EXPECT_EQ(open(bundle_), cannot + "Contents/Info.plist names no valid CFBundleExecutable)");
  fs::remove(info);
  EXPECT_EQ(open(bundle_), cannot + "no readable Contents/Info.plist)");
}

}  // namespace
}  // namespace veldane
