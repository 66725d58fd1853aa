#include "platform/linux/linux_workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/linux/plist_bundle_reader.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

// Runs posted work only when the test drains it.
class DrainedLoop final : public MainLoop {
 public:
  std::unique_ptr<Timer> oneShotTimer(double, double, Callback) override { return nullptr; }
  void runAfter(double, Callback) override {}
  void post(Callback work) override { posted_.push_back(std::move(work)); }
  std::unique_ptr<ProcessExitWatch> watchProcessExit(int32_t, Callback) override { return nullptr; }
  std::unique_ptr<Subscription> observePowerOff(Callback) override { return nullptr; }
  void exitProcess(int) override {}

  void drain() {
    std::vector<Callback> work;
    work.swap(posted_);
    for (Callback& w : work) w();
  }

 private:
  std::vector<Callback> posted_;
};

class CountingReader final : public BundleReader {
 public:
  std::optional<BundleInfo> open(const std::string& bundlePath) override {
    ++opens[bundlePath];
    return real_.open(bundlePath);
  }
  std::map<std::string, int> opens;

 private:
  PlistBundleReader real_;
};

class LinuxWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Detached programs become our children again, so the test can reap them.
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
    for (pid_t pid : started_) {
      kill(pid, SIGKILL);
    }
    // Also reaps programs that failed to start and were handed to us as orphans.
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
    loop_.drain();
    EXPECT_TRUE(result.has_value());
    return result.value_or("no completion");
  }

  DrainedLoop loop_;
  CountingReader reader_;
  LinuxWorkspace workspace_{loop_, reader_};
  fs::path root_;
  std::string bundle_;
  std::vector<pid_t> started_;
};

TEST_F(LinuxWorkspaceTest, FindsTheOpenedApplicationOnly) {
  ASSERT_EQ(open(bundle_), std::nullopt);
  // A helper from the same bundle is no application.
  const std::string helper = bundle_ + "/Contents/MacOS/Helper";
  pid_t helperPid = fork();
  if (helperPid == 0) {
    execl(helper.c_str(), helper.c_str(), "60", nullptr);
    _exit(127);
  }
  ASSERT_GT(helperPid, 0);
  started_.push_back(helperPid);

  reader_.opens.clear();
  std::vector<RunningApplication> apps = workspace_.runningApplications("com.example.ws");
  ASSERT_EQ(apps.size(), 1u);
  started_.push_back(apps[0].pid);
  EXPECT_FALSE(apps[0].terminated);
  EXPECT_EQ(apps[0].bundlePath, bundle_);
  EXPECT_NE(apps[0].pid, helperPid);
  EXPECT_EQ(reader_.opens[bundle_], 1);  // one read per bundle and call
  EXPECT_TRUE(workspace_.runningApplications("com.example.other").empty());

  ASSERT_EQ(kill(apps[0].pid, SIGKILL), 0);
  EXPECT_EQ(waitpid(apps[0].pid, nullptr, 0), apps[0].pid);
  started_.pop_back();
  EXPECT_TRUE(workspace_.runningApplications("com.example.ws").empty());
}

TEST_F(LinuxWorkspaceTest, ReportsBundlesThatCannotBeOpened) {
  const fs::path info = fs::path(bundle_) / "Contents" / "Info.plist";
  fs::remove(fs::path(bundle_) / "Contents" / "MacOS" / "Name");
  EXPECT_EQ(open(bundle_), bundle_ + "/Contents/MacOS/Name: No such file or directory");

  std::ofstream(info) << "<plist><dict><key>CFBundleIdentifier</key>"
                         "<string>com.example.ws</string></dict></plist>";
  EXPECT_EQ(open(bundle_), bundle_ +
                               ": cannot open the application bundle (Contents/Info.plist names "
                               "no valid CFBundleExecutable)");

  fs::remove(info);
  EXPECT_EQ(open(bundle_),
            bundle_ + ": cannot open the application bundle (no readable Contents/Info.plist)");
}

}  // namespace
}  // namespace veldane
