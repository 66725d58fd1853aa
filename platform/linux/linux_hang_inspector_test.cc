#include "platform/linux/linux_hang_inspector.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/syscall.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/linux/linux_main_loop.h"
#include "platform/process_info.h"

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
HostHangSnapshot snapshotOf(const std::string& unwinder, pid_t pid, Seconds budget = Seconds{0.5}) {
  LinuxMainLoop loop;
  LinuxHangInspector inspector(loop, unwinder);
  std::optional<HostHangSnapshot> got;
  inspector.snapshot(pid, budget, [&](HangInspector::Gathered gathered) { got = gathered(); });
  for (int turns = 0; turns < 1000 && (!got || inspector.unendedHelpers() > 0); ++turns) {
    loop.runOneIteration(std::chrono::milliseconds(10));
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
  EXPECT_FALSE(ProcessInfo::isTraced(child));
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

// The state letter of every thread of `pid`, the main thread's first.
std::string states(pid_t pid) {
  std::string letters;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream stat(task.path() / "stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const char state = text.substr(text.rfind(')') + 2, 1)[0];
    if (task.path().filename() == std::to_string(pid)) {
      letters.insert(letters.begin(), state);
    } else {
      letters += state;
    }
  }
  return letters;
}

bool waitForStates(pid_t pid, const std::function<bool(const std::string&)>& wanted) {
  for (int i = 0; i < 2000; ++i) {
    if (wanted(states(pid))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void* spinInWorker(void* ready) {
  spinForTheInspector(static_cast<int>(reinterpret_cast<intptr_t>(ready)));
  return nullptr;
}

// Waits in the kernel, killable only, until its child ends: the child dies
// with this thread.
void* waitUninterruptibly(void*) {
  if (vfork() == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Nor does it keep the test's pipe open.
    close_range(3, ~0U, 0);
    for (;;) pause();
  }
  return nullptr;
}

// A child that runs `body` once its pipe's write end is open; gives its pid
// once it has closed it.
pid_t startChild(const std::function<void(int ready)>& body) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(ready[0]);
    body(ready[1]);
    _exit(0);
  }
  close(ready[1]);
  char none;
  [[maybe_unused]] const ssize_t got = read(ready[0], &none, 1);
  close(ready[0]);
  return child;
}

void endChild(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// Not a tail call: each level is a frame of its own. (Through a pointer the
// compiler cannot follow, as the spin never returns.)
void (*volatile gSpin)(int) = spinForTheInspector;
[[gnu::noinline]] int descend(int depth, int ready) {
  if (depth == 0) {
    gSpin(ready);
    return 0;
  }
  volatile int below = descend(depth - 1, ready);
  return below + 1;
}

// A recursion gone deep is told by its 64 innermost frames.
TEST(LinuxHangInspector, AStackDeeperThanTheCapGivesItsInnermostFramesOnly) {
  const pid_t child = startChild([](int ready) { descend(100, ready); });
  ASSERT_GT(child, 0);
  const HostHangSnapshot got = snapshotOf(VELDANE_TEST_HANG_STACKS, child);
  // The helper itself stops there too, so that what it writes stays small.
  FILE* helper = popen((std::string(VELDANE_TEST_HANG_STACKS) + " " + std::to_string(child) +
                        " 400").c_str(), "r");
  ASSERT_NE(helper, nullptr);
  std::string written;
  for (int c; (c = fgetc(helper)) != EOF;) written += static_cast<char>(c);
  pclose(helper);
  endChild(child);
  ASSERT_EQ(got.threads.size(), 1u) << summary(got);
  EXPECT_EQ(got.threads[0].stack.size(), 64u) << summary(got);
  EXPECT_NE(got.threads[0].stack.front().find("spinForTheInspector"), std::string::npos);
  const nlohmann::json line = nlohmann::json::parse(written, nullptr, false);
  ASSERT_TRUE(line.contains("frames")) << written.substr(0, 200);
  EXPECT_EQ(line["frames"].size(), 64u);
}

TEST(LinuxHangInspector, ThreadsThatCannotBeSeizedOrStoppedArePassedOverAndTheOthersUnwound) {
  // The main thread has ended; a worker spins.
  const pid_t ended = startChild([](int ready) {
    pthread_t worker;
    pthread_create(&worker, nullptr, spinInWorker, reinterpret_cast<void*>(intptr_t{ready}));
    // The main thread alone, without unwinding its stack.
    syscall(SYS_exit, 0);
  });
  ASSERT_TRUE(waitForStates(ended, [](const std::string& s) { return s.size() == 2 && s[0] == 'Z'; }))
      << states(ended);
  // A budget that a busy machine does not exhaust: only what is passed over counts here.
  HostHangSnapshot got = snapshotOf(VELDANE_TEST_HANG_STACKS, ended, std::chrono::seconds(2));
  EXPECT_EQ(got.stacks, "unwound 1 of 2 threads; " + std::to_string(ended) + ": it has ended");
  ASSERT_EQ(got.threads.size(), 2u);
  EXPECT_TRUE(got.threads[0].stack.empty());
  EXPECT_NE(summary(got).find("|zombie 0|running "), std::string::npos) << summary(got);
  endChild(ended);

  // A worker in an uninterruptible wait, which no interrupt stops; the main
  // thread spins.
  const pid_t blocked = startChild([](int ready) {
    pthread_t worker;
    pthread_create(&worker, nullptr, waitUninterruptibly, nullptr);
    spinForTheInspector(ready);
  });
  ASSERT_TRUE(waitForStates(blocked, [](const std::string& s) { return s == "RD"; }))
      << states(blocked);
  got = snapshotOf(VELDANE_TEST_HANG_STACKS, blocked, std::chrono::seconds(2));
  EXPECT_TRUE(got.stacks.starts_with("unwound 1 of 2 threads; ")) << got.stacks;
  EXPECT_NE(got.stacks.find(": did not stop within "), std::string::npos) << got.stacks;
  EXPECT_NE(got.stacks.find("(in an uninterruptible wait)"), std::string::npos) << got.stacks;
  ASSERT_EQ(got.threads.size(), 2u);
  const std::string top = got.threads[0].stack.empty() ? "" : got.threads[0].stack[0];
  EXPECT_NE(top.find("spinForTheInspector(int)"), std::string::npos) << top;
  EXPECT_FALSE(ProcessInfo::isTraced(blocked));
  endChild(blocked);
}

TEST(LinuxHangInspector, ThreadNameCutInsideACharacterComesBackAsValidText) {
  const pid_t child = startChild([](int ready) {
    // 15 bytes are kept: the "ä" after "Abfrage" loses its second byte.
    prctl(PR_SET_NAME, "Ger\xC3\xA4t-Abfrage\xC3\xA4t");
    spinForTheInspector(ready);
  });
  const HostHangSnapshot got = snapshotOf("/nonexistent/veldane-hang-stacks", child);
  ASSERT_EQ(got.threads.size(), 1u);
  EXPECT_EQ(got.threads[0].name, "Ger\xC3\xA4t-Abfrage\xEF\xBF\xBD");
  endChild(child);
}

TEST(LinuxHangInspector, HelperThatWritesWithoutEndIsStoppedAtTheCapAndCountsOnce) {
  const pid_t child = startChild([](int ready) { spinForTheInspector(ready); });
  const fs::path endless = fs::temp_directory_path() / ("endless-stacks-" + std::to_string(getpid()));
  std::ofstream(endless) << "#!/bin/sh\nexec yes \"{\\\"tid\\\":$1,\\\"frames\\\":[\\\"loop\\\"]}\"\n";
  fs::permissions(endless, fs::perms::owner_all);
  const HostHangSnapshot got = snapshotOf(endless, child);
  fs::remove(endless);
  EXPECT_EQ(got.stacks, "stopped: more output than the stacks can take (1 of 1 threads unwound)");
  ASSERT_EQ(got.threads.size(), 1u);
  EXPECT_EQ(got.threads[0].stack, std::vector<std::string>{"loop"});
  endChild(child);
}

}  // namespace
}  // namespace veldane
