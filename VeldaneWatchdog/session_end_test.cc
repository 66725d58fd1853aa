#include "VeldaneWatchdog/session_end.h"

#include <gtest/gtest.h>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

using Kind = MainLoop::SessionEndNotice::Kind;
using Change = SessionEnd::Change;

TEST(SessionEnd, APowerOffOrALogoutIsAnEnd) {
  for (const Kind kind : {Kind::powerOff, Kind::logout}) {
    SessionEnd end;
    EXPECT_EQ(end.apply({kind, true}), Change::announced);
    EXPECT_TRUE(end.ending());
  }
}

TEST(SessionEnd, TheCancelOfTheAnnouncedEndCallsItOff) {
  SessionEnd end;
  end.apply({Kind::powerOff, true});
  EXPECT_EQ(end.apply({Kind::powerOffCancelled, true}), Change::calledOff);
  EXPECT_FALSE(end.ending());
}

TEST(SessionEnd, ACancelOfTheOtherEndCallsNothingOff) {
  SessionEnd end;
  end.apply({Kind::powerOff, true});
  EXPECT_EQ(end.apply({Kind::logoutCancelled, true}), Change::none);
  EXPECT_TRUE(end.ending());
}

TEST(SessionEnd, ACancelWithNoEndAnnouncedIsNothing) {
  SessionEnd end;
  EXPECT_EQ(end.apply({Kind::logoutCancelled, true}), Change::none);
}

TEST(SessionEnd, BothEndsMustBeCalledOff) {
  SessionEnd end;
  end.apply({Kind::powerOff, true});
  end.apply({Kind::logout, true});
  EXPECT_EQ(end.apply({Kind::powerOffCancelled, true}), Change::none);
  EXPECT_EQ(end.apply({Kind::logoutCancelled, true}), Change::calledOff);
}

TEST(SessionEnd, AnEndNotComeInTimeWasCalledOff) {
  FakePlatform fake;
  SessionEnd end;
  int calledOff = 0;
  end.apply({Kind::powerOff, false});
  end.expireAfter(fake, Seconds(60), [&] { ++calledOff; });
  fake.advance(59.9);
  EXPECT_TRUE(end.ending());
  fake.advance(0.1);
  EXPECT_FALSE(end.ending());
  EXPECT_EQ(calledOff, 1);
}

TEST(SessionEnd, ACalledOffEndNeedsNoExpiry) {
  FakePlatform fake;
  SessionEnd end;
  int calledOff = 0;
  end.apply({Kind::powerOff, false});
  end.expireAfter(fake, Seconds(60), [&] { ++calledOff; });
  end.apply({Kind::powerOffCancelled, false});
  fake.advance(120);
  EXPECT_EQ(calledOff, 0);
}

TEST(SessionEnd, TheDroppedRelaunchIsHandedBackOnce) {
  SessionEnd end;
  EXPECT_EQ(end.takeDroppedRelaunch(), std::nullopt);
  end.dropRelaunch({"--veldane-recovered"});
  EXPECT_EQ(end.takeDroppedRelaunch(), std::vector<std::string>{"--veldane-recovered"});
  EXPECT_EQ(end.takeDroppedRelaunch(), std::nullopt);
}

}  // namespace
}  // namespace veldane
