#include "host/launch_id.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <regex>
#include <string>

namespace veldane {
namespace {

bool isRandomUuid(const std::optional<std::string>& id) {
  static const std::regex kVersion4(
      "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  return id && std::regex_match(*id, kVersion4);
}

TEST(LaunchID, IsANewRandomUuidInCapitalsEachTime) {
  const std::optional<std::string> first = makeLaunchID();
  EXPECT_TRUE(isRandomUuid(first)) << first.value_or("none");
  EXPECT_NE(makeLaunchID(), first);
}

// As some sandboxes and old kernels have it: getrandom refused, the device
// still there. In a process of its own, which the filter stays with.
TEST(LaunchID, ComesFromTheRandomDeviceWhereGetrandomIsRefused) {
  const pid_t child = fork();
  if (child == 0) {
    sock_filter refuseGetrandom[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof refuseGetrandom / sizeof refuseGetrandom[0], refuseGetrandom};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(2);
    }
    char byte;
    if (syscall(SYS_getrandom, &byte, 1, 0) >= 0 || errno != ENOSYS) _exit(3);
    _exit(isRandomUuid(makeLaunchID()) ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no launch ID; 2, 3: the filter did not take";
}

}  // namespace
}  // namespace veldane
