#include "platform/linux/linux_workspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/linux_main_loop.h"
#include "platform/linux/plist_bundle_reader.h"
#include "platform/linux/process_launcher.h"
#include "state/test_support.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

class LinuxWorkspaceTest : public ::testing::Test, public TestFolder {
 protected:
  void SetUp() override {
    // Detached programs become our children again, to be reaped.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    bundle_ = WatchdogFiles::normalized((path / "Name.app").string());
    // Tests run side by side: an identifier of its own keeps each from finding
    // the other's application.
    identifier_ = std::string("com.example.ws.") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(fs::path(bundle_) / "Contents" / "MacOS");
    std::ofstream(fs::path(bundle_) / "Contents" / "Info.plist")
        << "<plist><dict><key>CFBundleIdentifier</key><string>" << identifier_
        << "</string><key>CFBundleExecutable</key><string>Name</string></dict></plist>";
    // Programs of their own, to be found, that leave their inherited signal
    // state alone (a shell would clear the mask).
    for (const char* name : {"Name", "Helper"}) {
      fs::copy_file("/bin/sleep", fs::path(bundle_) / "Contents" / "MacOS" / name);
    }
  }

  void TearDown() override {
    const std::string under = fs::canonical(path).string() + "/";
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ignored;
      if (fs::read_symlink(entry.path() / "exe", ignored).string().starts_with(under)) {
        kill(std::stoi(entry.path().filename()), SIGKILL);
      }
    }
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  std::optional<std::string> open(const std::string& bundle) {
    std::optional<std::optional<std::string>> result;
    workspace_.openApplication(
        bundle, {"60"}, [&](std::optional<std::string> error) { result = std::move(error); });
    EXPECT_FALSE(result.has_value()) << "completion came before the loop ran";
    loop_.runOneIteration(std::chrono::seconds(1));
    return result.value_or("no completion");
  }

  LinuxMainLoop loop_;
  PlistBundleReader reader_;
  // With the soft limit of open files the watchdog was given, not its raised one.
  LinuxWorkspace workspace_{loop_, reader_, rlim_t{77}};
  std::string identifier_;
  std::string bundle_;
};

TEST_F(LinuxWorkspaceTest, OpensDetachedAndCleanFindsOnlyTheApplicationAndSaysWhyNot) {
  // SIGTERM ignored and blocked, as the watchdog has it, and an inheritable descriptor.
  const sighandler_t previousAction = signal(SIGTERM, SIG_IGN);
  sigset_t term, previousMask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &previousMask);
  const int leaked = ::open((path / "leaked").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(open(bundle_), std::nullopt);
  close(leaked);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  signal(SIGTERM, previousAction);
  // The process between is reaped; the program lives, our child only as the reaper's.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG | __WALL), 0);

  // A helper from the same bundle is no application.
  const std::string helper = bundle_ + "/Contents/MacOS/Helper";
  ASSERT_EQ(ProcessLauncher::launchDetached(helper, {"60"}), std::nullopt);
  EXPECT_EQ(workspace_.processesRunning(helper).size(), 1u);
  const std::vector<RunningApplication> apps = workspace_.runningApplications(identifier_);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0], (RunningApplication{apps[0].pid, false, bundle_, apps[0].pid, apps[0].pid,
                                         apps[0].startUptime}));
  EXPECT_TRUE(apps[0].startUptime);
  EXPECT_TRUE(workspace_.runningApplications("com.example.other").empty());
  // Its exec has happened by now: the state is the program's own.
  const fs::path proc = "/proc/" + std::to_string(apps[0].pid);
  std::ostringstream status;
  status << std::ifstream(proc / "status").rdbuf();
  EXPECT_NE(status.str().find("\nSigBlk:\t0000000000000000\n"), std::string::npos);
  EXPECT_NE(status.str().find("\nSigIgn:\t0000000000000000\n"), std::string::npos);
  rlimit openFiles{};
  EXPECT_EQ(prlimit(apps[0].pid, RLIMIT_NOFILE, nullptr, &openFiles), 0);
  EXPECT_EQ(openFiles.rlim_cur, 77u);
  for (const char* stream : {"0", "1", "2"}) {
    std::error_code ignored;
    EXPECT_EQ(fs::read_symlink(proc / "fd" / stream, ignored), "/dev/null") << stream;
  }
  // sleep may briefly open files of its own while it starts: look for ours only.
  for (const auto& entry : fs::directory_iterator(proc / "fd")) {
    std::error_code ignored;
    EXPECT_NE(fs::read_symlink(entry.path(), ignored), path / "leaked");
  }

  const fs::path info = fs::path(bundle_) / "Contents" / "Info.plist";
  const std::string cannot = bundle_ + ": cannot open the application bundle (";
  fs::remove(info.parent_path() / "MacOS" / "Name");
  EXPECT_EQ(open(bundle_), bundle_ + "/Contents/MacOS/Name: No such file or directory");
  std::ofstream(info) << "<plist><dict><key>CFBundleIdentifier</key><string>" << identifier_
                       << "</string></dict></plist>";
  EXPECT_EQ(open(bundle_), cannot + "Contents/Info.plist names no valid CFBundleExecutable)");
  fs::remove(info);
  EXPECT_EQ(open(bundle_), cannot + "no readable Contents/Info.plist)");
}

struct LinesLog final : LogChannel {
  void log(LogLevel, std::string_view message) override { lines.emplace_back(message); }
  std::vector<std::string> lines;
};

TEST_F(LinuxWorkspaceTest, WithoutAUserManagerOpensDetachedAndSaysWhyOnce) {
  // Neither the manager's socket nor a bus in this runtime folder.
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    unsetenv(name);
  }
  setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
  LinesLog log;
  LinuxWorkspace workspace(loop_, reader_, std::nullopt, &log);
  for (int i = 0; i < 2; ++i) {
    std::optional<std::optional<std::string>> result;
    workspace.openApplication(bundle_, {"60"},
                              [&](std::optional<std::string> error) { result = std::move(error); });
    loop_.runOneIteration(std::chrono::seconds(1));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, std::nullopt);
  }
  unsetenv("XDG_RUNTIME_DIR");
  for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
  EXPECT_EQ(workspace.runningApplications(identifier_).size(), 2u);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_TRUE(log.lines[0].starts_with(
      "Opening applications without a scope of their own: no systemd user manager: "))
      << log.lines[0];
}

TEST_F(LinuxWorkspaceTest, TellsTheGroupAndSessionOfASandboxedApplicationAsTheWatchdogSeesThem) {
  // Pid 1 of a pid namespace of its own, leading its group and session there.
  const pid_t parent = fork();
  if (parent == 0) {
    if (unshare(CLONE_NEWPID) != 0) _exit(77);
    const pid_t inner = fork();
    if (inner == 0) {
      setsid();
      const std::string program = bundle_ + "/Contents/MacOS/Name";
      execl(program.c_str(), program.c_str(), "60", nullptr);
      _exit(1);
    }
    _exit(inner > 0 && waitpid(inner, nullptr, 0) == inner ? 0 : 1);
  }
  std::vector<RunningApplication> apps;
  for (int i = 0; i < 200 && apps.empty(); ++i) {
    usleep(10'000);
    apps = workspace_.runningApplications(identifier_);
    int status = 0;
    if (waitpid(parent, &status, WNOHANG) == parent && WEXITSTATUS(status) == 77) {
      GTEST_SKIP() << "no pid namespace here";
    }
  }
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].processGroup, apps[0].pid);
  EXPECT_EQ(apps[0].session, apps[0].pid);
}

}  // namespace
}  // namespace veldane
