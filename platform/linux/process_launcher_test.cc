#include "platform/linux/process_launcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

namespace veldane {
namespace {

namespace fs = std::filesystem;

std::string childrenOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ProcessLauncher, StartsTheProgramOnlyOnceTheHeldProcessIsLetGo) {
  // The program comes back to this process, to be reaped.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  pid_t held = 0;
  const auto whileHeld = [&](pid_t pid) {
    held = pid;
    // Still a fork of this process, with nothing started yet.
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"),
              fs::read_symlink("/proc/self/exe"));
    EXPECT_EQ(childrenOf(pid), "");
  };
  EXPECT_EQ(ProcessLauncher::launchDetached("/bin/sh", {"-c", "exit 3"}, std::nullopt, whileHeld),
            std::nullopt);
  EXPECT_GT(held, 0);
  // The held process has gone and is reaped; what is left is the program.
  int status = 0;
  const pid_t program = waitpid(-1, &status, 0);
  EXPECT_NE(program, held);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // A program that cannot start is told of after the hold as well.
  held = 0;
  EXPECT_EQ(ProcessLauncher::launchDetached("/nonexistent", {}, std::nullopt, whileHeld),
            "/nonexistent: No such file or directory");
  EXPECT_GT(held, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace veldane
