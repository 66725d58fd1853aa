#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace veldane {
namespace {

namespace fs = std::filesystem;

// The launcher's own children, living or zombie, must all be gone.
void expectNoChildren() {
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG | __WALL), -1);
  EXPECT_EQ(errno, ECHILD);
}

class ProcessLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "launcher-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (launched_ > 0) {
      // Not our child: the system reaps it once it is killed.
      kill(launched_, SIGKILL);
      for (int i = 0; i < 1000 && fs::exists(proc()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_FALSE(fs::exists(proc()));
    }
    fs::remove_all(dir_);
  }
  fs::path proc() const { return "/proc/" + std::to_string(launched_); }

  fs::path dir_;
  pid_t launched_ = 0;
};

TEST_F(ProcessLauncherTest, ProgramStartsWithCleanSignalsAndOnlyStandardStreams) {
  // A program at a path of its own, so that it can be found, and one that
  // leaves its inherited signal state alone (a shell would clear the mask).
  const fs::path program = dir_ / "napper";
  fs::copy_file("/bin/sleep", program);
  // The launching thread ignores and blocks SIGTERM, as the watchdog does, and
  // holds an inheritable descriptor.
  const sighandler_t previousAction = signal(SIGTERM, SIG_IGN);
  ASSERT_NE(previousAction, SIG_ERR);
  sigset_t term, previousMask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previousMask), 0);
  const int leaked = open((dir_ / "leaked").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(leaked, 3);

  // Started with the soft limit of open files the watchdog was given, not its raised one.
  const std::optional<std::string> error =
      ProcessLauncher::launchDetached(program, {"1m", "30s"}, rlim_t{77});
  close(leaked);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  signal(SIGTERM, previousAction);
  ASSERT_EQ(error, std::nullopt);
  expectNoChildren();

  // The exec has happened by now.
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path() / "exe", ignored) == program) {
      ASSERT_EQ(launched_, 0) << "started twice";
      launched_ = std::stoi(entry.path().filename());
    }
  }
  ASSERT_GT(launched_, 0);
  std::ostringstream status;
  status << std::ifstream(proc() / "status").rdbuf();
  EXPECT_NE(status.str().find("\nSigBlk:\t0000000000000000\n"), std::string::npos);
  EXPECT_NE(status.str().find("\nSigIgn:\t0000000000000000\n"), std::string::npos);
  EXPECT_EQ(getsid(launched_), launched_);
  rlimit openFiles{};
  ASSERT_EQ(prlimit(launched_, RLIMIT_NOFILE, nullptr, &openFiles), 0);
  EXPECT_EQ(openFiles.rlim_cur, 77u);
  for (const char* stream : {"0", "1", "2"}) {
    std::error_code ignored;
    EXPECT_EQ(fs::read_symlink(proc() / "fd" / stream, ignored), "/dev/null") << stream;
  }
  // sleep may briefly open files of its own while it starts: look for ours only.
  for (const auto& entry : fs::directory_iterator(proc() / "fd")) {
    std::error_code ignored;
    EXPECT_NE(fs::read_symlink(entry.path(), ignored), dir_ / "leaked") << entry.path();
  }
}

TEST_F(ProcessLauncherTest, ReportsWhyTheProgramCouldNotStart) {
  const fs::path plain = dir_ / "plain";
  std::ofstream(plain) << "#!/bin/sh\n";
  // The process that failed to exec is handed to us, so that we can reap it.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  EXPECT_EQ(ProcessLauncher::launchDetached(plain.string(), {"x"}),
            plain.string() + ": Permission denied");
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace veldane
