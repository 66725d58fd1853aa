#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace veldane {
namespace {

namespace fs = std::filesystem;

TEST(ProcessLauncher, ProgramStartsDetachedWithCleanSignalsAndOnlyStandardStreamsOrSaysWhyNot) {
  std::string dir = (fs::temp_directory_path() / "launcher-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  // The process that failed to exec is handed to us, to be reaped.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::ofstream(dir + "/plain") << "#!/bin/sh\n";
  EXPECT_EQ(ProcessLauncher::launchDetached(dir + "/plain", {"x"}),
            dir + "/plain: Permission denied");
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);

  // A program of its own, to be found, that leaves its inherited signal state
  // alone (a shell would clear the mask).
  const fs::path program = dir + "/napper";
  fs::copy_file("/bin/sleep", program);
  // SIGTERM ignored and blocked, as the watchdog has it, and an inheritable descriptor.
  const sighandler_t previousAction = signal(SIGTERM, SIG_IGN);
  sigset_t term, previousMask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &previousMask);
  const int leaked = open((dir + "/leaked").c_str(), O_RDWR | O_CREAT, 0600);
  // With the soft limit of open files the watchdog was given, not its raised one.
  EXPECT_EQ(ProcessLauncher::launchDetached(program, {"1m", "30s"}, rlim_t{77}), std::nullopt);
  close(leaked);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  signal(SIGTERM, previousAction);
  // Neither the program nor the process between is left our child, and the
  // exec has happened by now.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG | __WALL), -1);
  std::vector<pid_t> launched;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::error_code ignored;
    if (fs::read_symlink(entry.path() / "exe", ignored) == program) {
      launched.push_back(std::stoi(entry.path().filename()));
    }
  }
  ASSERT_EQ(launched.size(), 1u);
  const fs::path proc = "/proc/" + std::to_string(launched[0]);
  std::ostringstream status;
  status << std::ifstream(proc / "status").rdbuf();
  EXPECT_NE(status.str().find("\nSigBlk:\t0000000000000000\n"), std::string::npos);
  EXPECT_NE(status.str().find("\nSigIgn:\t0000000000000000\n"), std::string::npos);
  EXPECT_EQ(getsid(launched[0]), launched[0]);
  rlimit openFiles{};
  EXPECT_EQ(prlimit(launched[0], RLIMIT_NOFILE, nullptr, &openFiles), 0);
  EXPECT_EQ(openFiles.rlim_cur, 77u);
  for (const char* stream : {"0", "1", "2"}) {
    std::error_code ignored;
    EXPECT_EQ(fs::read_symlink(proc / "fd" / stream, ignored), "/dev/null") << stream;
  }
  // sleep may briefly open files of its own while it starts: look for ours only.
  for (const auto& entry : fs::directory_iterator(proc / "fd")) {
    std::error_code ignored;
    EXPECT_NE(fs::read_symlink(entry.path(), ignored), dir + "/leaked");
  }
  // Not our child: the system reaps it once it is killed.
  for (int i = 0; i < 1000 && kill(launched[0], SIGKILL) == 0; ++i) usleep(10'000);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace veldane
