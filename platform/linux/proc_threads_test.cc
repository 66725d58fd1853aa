#include "platform/linux/proc_threads.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace veldane {
namespace {

// A host with more threads than are read: the main thread and the first
// others, never more.
TEST(ProcThreads, ReadsAtMostTheLimitOfThreadsTheMainOneFirst) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::vector<std::thread> others;
  for (size_t i = 0; i < ProcThreads::kMaxThreads + 4; ++i) {
    others.emplace_back([&] {
      std::unique_lock lock(mutex);
      done.wait(lock, [&] { return finished; });
    });
  }
  const std::vector<HostThreadSnapshot> threads = ProcThreads::read(getpid(), false);
  const HostCpuSample cpu = ProcThreads::cpuTimes(getpid());
  {
    std::lock_guard lock(mutex);
    finished = true;
  }
  done.notify_all();
  for (std::thread& thread : others) thread.join();
  ASSERT_EQ(threads.size(), ProcThreads::kMaxThreads);
  EXPECT_EQ(threads.front().tid, getpid());
  EXPECT_EQ(cpu.size(), ProcThreads::kMaxThreads);
}

// Where the kernel shows them (to those who may administer the system), the
// kernel's frames come without their hidden addresses.
TEST(ProcThreads, KernelStacksAreReadFrameByFrame) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(ends[1]);
    char byte;
    _exit(read(ends[0], &byte, 1) < 0 ? 1 : 0);
  }
  close(ends[0]);
  const std::string stack = "/proc/" + std::to_string(child) + "/stack";
  // Once it waits in the read, "[<0>] ..._read+0x.../0x..." comes first.
  std::string first;
  for (int i = 0; i < 2000 && first.find("_read+0x") == std::string::npos; ++i) {
    std::ifstream file(stack);
    std::getline(file, first);
    usleep(1000);
  }
  std::vector<HostThreadSnapshot> threads = ProcThreads::read(child, true);
  close(ends[1]);
  waitpid(child, nullptr, 0);
  if (first.empty()) GTEST_SKIP() << "the kernel shows no stacks here";
  ASSERT_EQ(threads.size(), 1u);
  const std::vector<std::string>& frames = threads[0].kernelStack;
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0], first.substr(first.find("] ") + 2));
  for (const std::string& frame : frames) EXPECT_FALSE(frame.starts_with("[<")) << frame;
}

}  // namespace
}  // namespace veldane
