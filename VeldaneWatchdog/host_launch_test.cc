#include "VeldaneWatchdog/host_launch.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

using State = HostLaunch::State;

HostLaunch::Target target() { return {{"--veldane-recovered"}, std::nullopt, ""}; }

TEST(HostLaunch, IsIdleUntilStarted) {
  HostLaunch launch;
  EXPECT_EQ(launch.state(), State::idle);
  EXPECT_FALSE(launch.underWay());
}

TEST(HostLaunch, StartsWaitingToOpenWithAllItsAttempts) {
  HostLaunch launch;
  launch.start(target());
  EXPECT_EQ(launch.state(), State::waitingToOpen);
  EXPECT_EQ(launch.attemptsLeft(), 3);
  EXPECT_EQ(launch.target().arguments, std::vector<std::string>{"--veldane-recovered"});
}

TEST(HostLaunch, AFailedOpeningWaitsForARetry) {
  HostLaunch launch;
  launch.start(target());
  launch.opening();
  EXPECT_EQ(launch.state(), State::opening);
  launch.failed();
  EXPECT_EQ(launch.state(), State::waitingToRetry);
  EXPECT_TRUE(launch.retry());
  EXPECT_EQ(launch.state(), State::waitingToOpen);
}

TEST(HostLaunch, ThreeFailedOpeningsLeaveNoAttempt) {
  HostLaunch launch;
  launch.start(target());
  for (int i = 0; i < 2; ++i) {
    launch.opening();
    launch.failed();
    EXPECT_TRUE(launch.retry());
  }
  launch.opening();
  launch.failed();
  EXPECT_FALSE(launch.retry());
  EXPECT_TRUE(launch.underWay()) << "until ended";
  launch.end();
  EXPECT_EQ(launch.state(), State::idle);
}

TEST(HostLaunch, ATicketIsCurrentUntilItsLaunchEnds) {
  HostLaunch launch;
  launch.start(target());
  const HostLaunch::Ticket ticket = launch.ticket();
  EXPECT_TRUE(launch.isCurrent(ticket));
  launch.end();
  EXPECT_FALSE(launch.isCurrent(ticket));
}

TEST(HostLaunch, ATicketOfAnEarlierLaunchIsNotCurrent) {
  HostLaunch launch;
  launch.start(target());
  const HostLaunch::Ticket earlier = launch.ticket();
  launch.start(target());
  EXPECT_FALSE(launch.isCurrent(earlier));
  EXPECT_TRUE(launch.isCurrent(launch.ticket()));
  EXPECT_FALSE(launch.isCurrent(HostLaunch::Ticket{}));
}

}  // namespace
}  // namespace veldane
