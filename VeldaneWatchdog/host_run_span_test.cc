#include "VeldaneWatchdog/host_run_span.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

const WatchdogDate kNow = WatchdogDate(std::chrono::seconds(1'780'000'000));

HostRunRecord run(int32_t pid, std::string launchID = "run-1") {
  HostRunRecord record;
  record.pid = pid;
  record.launchID = std::move(launchID);
  record.startedAt = kNow - std::chrono::seconds(100);
  return record;
}

TEST(HostRunSpan, AnEndedRunSeenLiveStartsWhereTheWatchTookIt) {
  HostRunSpan span;
  EXPECT_FALSE(span.knowsLive(run(300)));
  span.sawAlive(run(300), Seconds(900));
  EXPECT_TRUE(span.knowsLive(run(300)));
  const HostRunSpan::Ended ended = span.endedAs(run(300), kNow, Seconds(1000));
  EXPECT_EQ(ended.startedAt, Seconds(900));
  EXPECT_EQ(ended.seenEndedAt, Seconds(1000));
}

TEST(HostRunSpan, AnEndedRunNeverSeenLiveStartsASecondBeforeItsRecordsDate) {
  HostRunSpan span;
  span.sawAlive(run(300, "run-0"), Seconds(900));
  EXPECT_EQ(span.endedAs(run(300), kNow, Seconds(1000)).startedAt, Seconds(899));
}

TEST(HostRunSpan, ARecordDatedAfterNowGivesNoStart) {
  HostRunRecord record = run(300);
  record.startedAt = kNow + std::chrono::seconds(1);
  EXPECT_EQ(HostRunSpan().endedAs(record, kNow, Seconds(1000)).startedAt, std::nullopt);
}

TEST(HostRunSpan, TheSameEndedRunKeepsWhenItWasFirstSeenEnded) {
  HostRunSpan span;
  span.sawEnded(span.endedAs(run(300), kNow, Seconds(1000)));
  EXPECT_EQ(span.endedAs(run(300), kNow, Seconds(1004)).seenEndedAt, Seconds(1000));
  EXPECT_EQ(span.endedAs(run(301), kNow, Seconds(1004)).seenEndedAt, Seconds(1004));
  span.sawNoEndedRun();
  EXPECT_EQ(span.endedAs(run(300), kNow, Seconds(1004)).seenEndedAt, Seconds(1004));
}

TEST(HostRunSpan, AProcessInTheRunsGroupOrSessionWasForkedByIt) {
  const HostRunSpan::Ended ended{300, "run-1", Seconds(900), Seconds(1000)};
  EXPECT_TRUE(ended.forked({9, false, std::nullopt, 300, 1}));
  EXPECT_TRUE(ended.forked({9, false, std::nullopt, 9, 300}));
  EXPECT_FALSE(ended.forked({9, false, std::nullopt, 9, 9}));
}

TEST(HostRunSpan, AProcessStartedWhileTheRunLivedWasForkedByIt) {
  const HostRunSpan::Ended ended{300, "run-1", Seconds(900), Seconds(1000)};
  EXPECT_FALSE(ended.forked({9, false, std::nullopt, 9, 9, Seconds(899.5)}));
  EXPECT_TRUE(ended.forked({9, false, std::nullopt, 9, 9, Seconds(900.0)}));
  EXPECT_TRUE(ended.forked({9, false, std::nullopt, 9, 9, Seconds(1000.0)}));
  EXPECT_FALSE(ended.forked({9, false, std::nullopt, 9, 9, Seconds(1000.5)}));
  const HostRunSpan::Ended noStart{300, "run-1", std::nullopt, Seconds(1000)};
  EXPECT_FALSE(noStart.forked({9, false, std::nullopt, 9, 9, Seconds(950.0)}));
}

}  // namespace
}  // namespace veldane
