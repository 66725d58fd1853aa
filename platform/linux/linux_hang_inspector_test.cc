#include "platform/linux/linux_hang_inspector.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/host_process_info.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

[[gnu::noinline]] void spinForTheInspector(int ready) {
  volatile unsigned turns = 0;
  close(ready);
  for (;;) turns = turns + 1u;
}

// On a loop of its own, turned until the snapshot is done and every helper
// it started has been reaped.
HostHangSnapshot snapshotOf(const std::string& unwinder, pid_t pid) {
  LinuxMainLoop loop;
  LinuxHangInspector inspector(loop, unwinder);
  std::optional<HostHangSnapshot> got;
  inspector.snapshot(pid, 0.5, [&](HangInspector::Gathered gathered) { got = gathered(); });
  for (int turns = 0; turns < 1000 && (!got || inspector.unendedHelpers() > 0); ++turns) {
    loop.runOneIteration(0.01);
  }
  EXPECT_EQ(inspector.unendedHelpers(), 0u);
  return got.value_or(HostHangSnapshot{});
}

// "stacks", then per thread its state and the number of its frames.
std::string summary(const HostHangSnapshot& snapshot) {
  std::string text = snapshot.stacks;
  for (const HostThreadSnapshot& thread : snapshot.threads) {
    text += "|" + thread.state + " " + std::to_string(thread.stack.size());
  }
  return text;
}

TEST(LinuxHangInspector, ReadsThreadsAndStacksOrSaysWhyNotAndLeavesTheProcessRunning) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_DUMPABLE, 0);  // refuses debuggers without the right to attach to anything
    close(ready[0]);
    spinForTheInspector(ready[1]);
  }
  // Inside the spin and out of its last system call: the stack starts there.
  close(ready[1]);
  char none;
  ASSERT_EQ(read(ready[0], &none, 1), 0);
  close(ready[0]);
  std::string syscall;
  for (int i = 0; i < 5000 && syscall != "running"; ++i) {
    std::ifstream("/proc/" + std::to_string(child) + "/syscall") >> syscall;
  }
  LinuxMainLoop loop;
  EXPECT_TRUE(LinuxHangInspector(loop, VELDANE_TEST_HANG_STACKS).sampleCpu(child).contains(child));

  const HostHangSnapshot got = snapshotOf(VELDANE_TEST_HANG_STACKS, child);
  ASSERT_EQ(got.threads.size(), 1u);
  EXPECT_EQ(got.threads[0].tid, child);
  EXPECT_TRUE(summary(got).starts_with("unwound|running ")) << summary(got);
  const std::string top = got.threads[0].stack.empty() ? "" : got.threads[0].stack[0];
  EXPECT_NE(top.find("spinForTheInspector(int) (linux_hang_inspector_test.cc:"), std::string::npos)
      << top;
  // Nothing left attached or stopped; without the helper, the states all the same.
  EXPECT_FALSE(HostProcessInfo::isTraced(child));
  EXPECT_EQ(summary(snapshotOf("/nonexistent/veldane-hang-stacks", child)),
            "no veldane-hang-stacks beside the watchdog|running 0");

  // Without the right to attach to anything, as a user's watchdog runs.
  const pid_t inspecting = fork();
  if (inspecting == 0) {
    prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE);
    const std::string text = summary(snapshotOf(VELDANE_TEST_HANG_STACKS, child));
    _exit(text == "not permitted to attach: Operation not permitted|running 0" ? 0 : 1);
  }
  int refused = -1;
  waitpid(inspecting, &refused, 0);
  EXPECT_EQ(refused, 0) << "the refused attach is not said, or the states are missing";

  // A helper that overruns the budget is killed, and the snapshot goes on.
  const fs::path slow = fs::temp_directory_path() / ("slow-stacks-" + std::to_string(getpid()));
  std::ofstream(slow) << "#!/bin/sh\nexec sleep 30\n";
  fs::permissions(slow, fs::perms::owner_all);
  EXPECT_EQ(summary(snapshotOf(slow, child)), "stopped at the time limit|running 0");
  fs::remove(slow);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), 0) << "only the spinning child is left";

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(summary(snapshotOf(VELDANE_TEST_HANG_STACKS, child)), "the process could not be read");
}

}  // namespace
}  // namespace veldane
