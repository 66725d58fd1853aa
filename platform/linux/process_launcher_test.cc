#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

namespace veldane {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The caller must never be left with a child, living or zombie.
void expectNoChildren() {
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG | __WALL), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Polls `ready` for up to ten seconds.
bool eventually(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
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
      EXPECT_TRUE(eventually([&] { return !fs::exists(proc()); }));
    }
    fs::remove_all(dir_);
  }
  fs::path proc() const { return "/proc/" + std::to_string(launched_); }

  fs::path dir_;
  pid_t launched_ = 0;
};

TEST_F(ProcessLauncherTest, StartsADetachedCleanProcess) {
  // A program of its own path, so that it can be found, and one that leaves its inherited
  // signal state alone (a shell would clear the mask itself).
  const fs::path program = dir_ / "napper";
  fs::copy_file("/bin/sleep", program);

  // The launching thread ignores and blocks SIGTERM, as the watchdog does.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previousAction {};
  ASSERT_EQ(sigaction(SIGTERM, &ignore, &previousAction), 0);
  sigset_t term;
  sigset_t previousMask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previousMask), 0);
  // An inheritable descriptor that must not reach the program.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);

  std::optional<std::string> error = ProcessLauncher::launchDetached(program, {"1m", "30s"});

  close(leaked);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGTERM, &previousAction, nullptr);
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
  EXPECT_EQ(slurp(proc() / "cmdline"), program.string() + std::string("\0"
                                                                      "1m\0"
                                                                      "30s\0",
                                                                      8));
  // stat: pid (comm) state ppid pgrp session ...
  std::istringstream stat(slurp(proc() / "stat"));
  long pid = 0, ppid = 0, pgrp = 0, session = 0;
  std::string comm, state;
  stat >> pid >> comm >> state >> ppid >> pgrp >> session;
  EXPECT_NE(ppid, getpid());
  EXPECT_EQ(session, pid);
  const std::string status = slurp(proc() / "status");
  EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos);
  EXPECT_NE(status.find("\nSigIgn:\t0000000000000000\n"), std::string::npos);
  std::set<std::string> fds;
  for (const auto& entry : fs::directory_iterator(proc() / "fd")) {
    fds.insert(entry.path().filename());
    EXPECT_EQ(fs::read_symlink(entry.path()), "/dev/null");
  }
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
}

TEST_F(ProcessLauncherTest, ReportsWhyTheProgramCouldNotStart) {
  const fs::path plain = dir_ / "plain";
  std::ofstream(plain) << "#!/bin/sh\n";
  const std::string missing = (dir_ / "missing").string();
  EXPECT_EQ(ProcessLauncher::launchDetached(missing, {}), missing + ": No such file or directory");
  EXPECT_EQ(ProcessLauncher::launchDetached(plain.string(), {"x"}),
            plain.string() + ": Permission denied");
  expectNoChildren();
}

}  // namespace
}  // namespace veldane
