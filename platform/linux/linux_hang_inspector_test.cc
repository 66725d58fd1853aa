#include "platform/linux/linux_hang_inspector.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/host_process_info.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

[[gnu::noinline]] void spinForTheInspector(int ready) {
  volatile unsigned turns = 0;
  close(ready);
  for (;;) turns = turns + 1u;
}

char stateOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

std::optional<HostHangSnapshot> snapshotOf(LinuxHangInspector& inspector, pid_t pid) {
  std::optional<HostHangSnapshot> got;
  inspector.snapshot(pid, 0.5, [&](HostHangSnapshot snapshot) { got = std::move(snapshot); });
  return got;
}

// A process that refuses debuggers, blocked in a wait of the kernel.
pid_t startUndumpableSleeper() {
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_DUMPABLE, 0);
    pause();
    _exit(0);
  }
  return child;
}

TEST(LinuxHangInspector, RefusedAttachStillGivesTheThreadStates) {
  const pid_t sleeper = startUndumpableSleeper();
  ASSERT_GT(sleeper, 0);
  while (stateOf(sleeper) != 'S') usleep(1000);
  // Root may attach to anything; the helper is run without that right, as a
  // user's would be.
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  const pid_t inspecting = fork();
  if (inspecting == 0) {
    if (getuid() == 0) prctl(PR_CAPBSET_DROP, CAP_SYS_PTRACE);
    LinuxHangInspector inspector(VELDANE_TEST_HANG_STACKS);
    const std::optional<HostHangSnapshot> got = snapshotOf(inspector, sleeper);
    const std::string text = !got || got->threads.empty()
                                 ? "nothing"
                                 : got->stacks + "|" + got->threads[0].state + "|" +
                                       std::to_string(got->threads[0].stack.size());
    [[maybe_unused]] ssize_t written = write(result[1], text.data(), text.size());
    _exit(0);
  }
  close(result[1]);
  std::string text(256, '\0');
  const ssize_t got = read(result[0], text.data(), text.size());
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  close(result[0]);
  waitpid(inspecting, nullptr, 0);
  EXPECT_EQ(text, "not permitted to attach: Operation not permitted|sleeping|0");
  EXPECT_EQ(stateOf(sleeper), 'S');
  kill(sleeper, SIGKILL);
  waitpid(sleeper, nullptr, 0);
}

TEST(LinuxHangInspector, ReadsThreadsAndStacksAndLeavesTheProcessRunning) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(ready[0]);
    spinForTheInspector(ready[1]);
  }
  ASSERT_GT(child, 0);
  // Inside the spin and out of its last system call: the stack starts there,
  // also on a machine too busy to have run the child yet.
  close(ready[1]);
  char none;
  ASSERT_EQ(read(ready[0], &none, 1), 0);
  close(ready[0]);
  std::string syscall;
  for (int i = 0; i < 5000 && syscall != "running"; ++i) {
    std::ifstream("/proc/" + std::to_string(child) + "/syscall") >> syscall;
  }
  LinuxHangInspector inspector(VELDANE_TEST_HANG_STACKS);
  EXPECT_TRUE(inspector.sampleCpu(child).contains(child));

  const std::optional<HostHangSnapshot> got = snapshotOf(inspector, child);
  ASSERT_TRUE(got) << "a Linux snapshot is done when it returns";
  EXPECT_EQ(got->stacks, "unwound");
  ASSERT_EQ(got->threads.size(), 1u);
  EXPECT_EQ(got->threads[0].tid, child);
  EXPECT_EQ(got->threads[0].state, "running");
  ASSERT_FALSE(got->threads[0].stack.empty());
  EXPECT_NE(got->threads[0].stack[0].find("spinForTheInspector(int) (linux_hang_inspector_test.cc:"),
            std::string::npos)
      << got->threads[0].stack[0];
  // Nothing left attached or stopped.
  EXPECT_FALSE(HostProcessInfo::isTraced(child));
  EXPECT_EQ(stateOf(child), 'R');

  // Without the helper: the states all the same.
  LinuxHangInspector without("/nonexistent/veldane-hang-stacks");
  const std::optional<HostHangSnapshot> states = snapshotOf(without, child);
  ASSERT_TRUE(states);
  EXPECT_EQ(states->stacks, "no veldane-hang-stacks beside the watchdog");
  EXPECT_EQ(states->threads.size(), 1u);

  // A helper that overruns the budget is killed, and the snapshot goes on.
  const fs::path slow = fs::temp_directory_path() / ("slow-stacks-" + std::to_string(getpid()));
  std::ofstream(slow) << "#!/bin/sh\nexec sleep 30\n";
  fs::permissions(slow, fs::perms::owner_all);
  LinuxHangInspector overrunning(slow.string());
  const auto start = std::chrono::steady_clock::now();
  const std::optional<HostHangSnapshot> late = snapshotOf(overrunning, child);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  fs::remove(slow);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->stacks, "stopped at the time limit");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), 0) << "only the spinning child is left";

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  const std::optional<HostHangSnapshot> gone = snapshotOf(inspector, child);
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->threads.empty());
  EXPECT_EQ(gone->stacks, "the process could not be read");
}

}  // namespace
}  // namespace veldane
