#include "VeldaneWatchdog/hang_diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veldane {
namespace {

HostThreadSnapshot thread(int64_t tid, std::string state, std::optional<std::string> wchan = {},
                          std::vector<std::string> stack = {}) {
  HostThreadSnapshot t;
  t.tid = tid;
  t.name = tid == 300 ? "Host" : "worker";
  t.state = std::move(state);
  t.wchan = std::move(wchan);
  t.cpuSeconds = 2.0;
  t.stack = std::move(stack);
  return t;
}

// The summary of a hang report of `threads`, the first one the main thread, silent for 45 s.
std::string summaryOf(std::vector<HostThreadSnapshot> threads,
                      std::optional<HostCpuSample> sample = {}) {
  HangDiagnosis::Evidence evidence;
  evidence.pid = 300;
  evidence.secondsSilent = 45;
  evidence.hangLimitSeconds = 45;
  evidence.sample = std::move(sample);
  evidence.sampleSeconds = 4;
  evidence.snapshot = HostHangSnapshot{std::move(threads), "unwound"};
  return HangDiagnosis::report(evidence).summary;
}

TEST(HangDiagnosis, SummarisesEachThreadStateOfTheMainThread) {
  const struct {
    HostThreadSnapshot main;
    const char* summary;
  } rows[] = {
      {thread(300, "running"), "main thread spinning for 45 s; no stack: unwound"},
      {thread(300, "running", {}, {"parse() (config.cc:212)"}),
       "main thread spinning in user space in parse() (config.cc:212) for 45 s"},
      {thread(300, "sleeping", "pipe_read"),
       "main thread blocked in pipe_read; 2.0 s CPU since it started"},
      {thread(300, "uninterruptible", "nfs_wait"),
       "main thread blocked uninterruptibly in nfs_wait; 2.0 s CPU since it started"},
      {thread(300, "sleeping"),
       "main thread blocked in an unknown wait; 2.0 s CPU since it started"},
      {thread(300, "stopped"), "main thread stopped; 2.0 s CPU since it started"},
      {thread(300, "traced"), "main thread stopped; 2.0 s CPU since it started"},
      {thread(300, "zombie"), "main thread exiting; 2.0 s CPU since it started"},
      {thread(300, "sleeping", "futex_wait_queue", {"read [libc.so.6]", "wait() (demo.cc:9)"}),
       "main thread blocked in futex_wait_queue from wait() (demo.cc:9); 2.0 s CPU since it "
       "started"},
      {thread(301, "sleeping", "pipe_read"),
       "thread worker blocked in pipe_read; 2.0 s CPU since it started"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(summaryOf({row.main}), row.summary);
  }
}

TEST(HangDiagnosis, AMainThreadSpinningWithoutAStackSaysWhyThereIsNone) {
  HangDiagnosis::Evidence evidence;
  evidence.pid = 300;
  evidence.secondsSilent = 45;
  evidence.snapshot = HostHangSnapshot{{thread(300, "running")}, "no permission"};
  EXPECT_EQ(HangDiagnosis::report(evidence).summary,
            "main thread spinning for 45 s; no stack: no permission");
}

TEST(HangDiagnosis, AThreadThatUsedAQuarterOfACoreSinceTheSampleSpins) {
  EXPECT_EQ(summaryOf({thread(300, "sleeping", "pipe_read")}, HostCpuSample{{300, 0.0}}),
            "main thread spinning for 45 s; no stack: unwound");
  EXPECT_EQ(summaryOf({thread(300, "sleeping", "pipe_read")}, HostCpuSample{{300, 1.5}}),
            "main thread blocked in pipe_read; 500 ms CPU in the last 4 s");
}

TEST(HangDiagnosis, NamesTwoSpinningThreadsAndCountsTheRest) {
  std::vector<HostThreadSnapshot> threads{thread(300, "sleeping", "pipe_read")};
  for (int64_t tid = 301; tid <= 304; ++tid) threads.push_back(thread(tid, "running"));
  threads.push_back(thread(305, "sleeping", "pipe_read"));
  EXPECT_EQ(summaryOf(threads),
            "main thread blocked in pipe_read; 2.0 s CPU since it started; thread worker (301) "
            "spinning for 45 s; thread worker (302) spinning for 45 s; 2 more threads spinning");
}

TEST(HangDiagnosis, NoThreadReadSaysWhy) {
  EXPECT_EQ(summaryOf({}), "no thread of the host could be read (unwound)");
}

TEST(HangDiagnosis, ASnapshotThatDidNotFinishSaysSo) {
  HangDiagnosis::Evidence evidence;
  evidence.pid = 300;
  EXPECT_EQ(HangDiagnosis::report(evidence).stacks, "the snapshot did not finish within its time");
}

}  // namespace
}  // namespace veldane
