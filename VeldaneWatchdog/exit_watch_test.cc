#include "VeldaneWatchdog/exit_watch.h"

#include <gtest/gtest.h>

#include <csignal>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

TEST(ExitWatch, HoldsTheWatchedProcessUntilItEnds) {
  FakePlatform fake;
  fake.processes[300] = "/bin/host";
  ExitWatch watch;
  int exits = 0;
  watch.watch(fake, 300, [&] { ++exits; });
  EXPECT_TRUE(watch.holds(300));
  EXPECT_FALSE(watch.holds(301));
  fake.endProcess(300);
  fake.runDue();
  EXPECT_EQ(exits, 1);
}

TEST(ExitWatch, WatchingTheSamePidAgainKeepsTheWatch) {
  FakePlatform fake;
  ExitWatch watch;
  int first = 0, second = 0;
  watch.watch(fake, 300, [&] { ++first; });
  watch.watch(fake, 300, [&] { ++second; });
  fake.endProcess(300);
  fake.runDue();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST(ExitWatch, AnotherPidReplacesTheWatch) {
  FakePlatform fake;
  ExitWatch watch;
  int first = 0;
  watch.watch(fake, 300, [&] { ++first; });
  watch.watch(fake, 301, [] {});
  EXPECT_EQ(watch.pid(), 301);
  EXPECT_FALSE(watch.holds(300));
  fake.endProcess(300);
  fake.runDue();
  EXPECT_EQ(first, 0);
}

TEST(ExitWatch, ResetWatchesNothing) {
  FakePlatform fake;
  ExitWatch watch;
  int exits = 0;
  watch.watch(fake, 300, [&] { ++exits; });
  watch.reset();
  EXPECT_EQ(watch.pid(), 0);
  EXPECT_FALSE(watch.holds(300));
  fake.endProcess(300);
  fake.runDue();
  EXPECT_EQ(exits, 0);
}

TEST(ExitWatch, NoPidBelowOneIsWatched) {
  FakePlatform fake;
  ExitWatch watch;
  watch.watch(fake, 0, [] {});
  EXPECT_FALSE(watch.holds(0));
  watch.watch(fake, -1, [] {});
  EXPECT_EQ(watch.pid(), -1);
  EXPECT_FALSE(watch.holds(-1));
}

TEST(ExitWatch, SignalsOnlyTheProcessItHolds) {
  FakePlatform fake;
  fake.processes[300] = "/bin/host";
  ExitWatch watch;
  watch.watch(fake, 300, [] {});
  EXPECT_FALSE(watch.signal(301, SIGKILL));
  EXPECT_TRUE(fake.signalsSent.empty());
  EXPECT_TRUE(watch.signal(300, SIGKILL));
  EXPECT_EQ(fake.signalsSent, (std::vector<std::pair<int32_t, int>>{{300, SIGKILL}}));
}

}  // namespace
}  // namespace veldane
