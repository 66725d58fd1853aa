#include "platform/linux/proc_threads.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

}  // namespace
}  // namespace veldane
