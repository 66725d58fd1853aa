#include "VeldaneWatchdog/hang_kill.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

constexpr Seconds kBudget{0.5};

// Each finish: the pid, and whether a snapshot came within the budget.
struct Finishes {
  std::vector<std::pair<int32_t, bool>> seen;
  HangKill::Finish record() {
    return [this](HangKill::Judged judged, std::optional<HangInspector::Gathered> gathered) {
      seen.push_back({judged.pid, gathered.has_value()});
    };
  }
};

HangKill::Judged judged(int32_t pid) {
  HangKill::Judged j;
  j.pid = pid;
  return j;
}

TEST(HangKill, ASnapshotThatFinishesAtOnceEndsTheLookAtOnce) {
  FakePlatform fake;
  HangKill kill;
  Finishes finishes;
  kill.start(fake, fake, judged(300), kBudget, finishes.record());
  EXPECT_EQ(finishes.seen, (std::vector<std::pair<int32_t, bool>>{{300, true}}));
  EXPECT_FALSE(kill.underWay());
  fake.advance(1);
  EXPECT_EQ(finishes.seen.size(), 1u) << "the deadline was cancelled";
}

TEST(HangKill, TheDeadlineEndsALookThatOutrunsItsBudget) {
  FakePlatform fake;
  fake.snapshotReply.reset();
  HangKill kill;
  Finishes finishes;
  kill.start(fake, fake, judged(300), kBudget, finishes.record());
  fake.advance(0.499);
  EXPECT_TRUE(finishes.seen.empty());
  EXPECT_TRUE(kill.underWay());
  fake.advance(0.001);
  EXPECT_EQ(finishes.seen, (std::vector<std::pair<int32_t, bool>>{{300, false}}));
}

TEST(HangKill, ASnapshotThatComesLateIsIgnored) {
  FakePlatform fake;
  fake.snapshotReply.reset();
  HangKill kill;
  Finishes finishes;
  kill.start(fake, fake, judged(300), kBudget, finishes.record());
  fake.advance(0.5);
  fake.pendingSnapshots[0]({});
  EXPECT_EQ(finishes.seen.size(), 1u);
}

TEST(HangKill, ALaterLookDropsTheOneUnderWay) {
  FakePlatform fake;
  fake.snapshotReply.reset();
  HangKill kill;
  Finishes finishes;
  kill.start(fake, fake, judged(300), kBudget, finishes.record());
  kill.start(fake, fake, judged(301), kBudget, finishes.record());
  fake.pendingSnapshots[0]({});
  EXPECT_TRUE(finishes.seen.empty());
  fake.pendingSnapshots[1]({});
  EXPECT_EQ(finishes.seen, (std::vector<std::pair<int32_t, bool>>{{301, true}}));
}

TEST(HangKill, RemembersTheRunJudgedHungUnderCanonicalEquivalence) {
  HangKill kill;
  EXPECT_FALSE(kill.wasJudged("run-caf\xC3\xA9"));
  kill.judged("run-cafe\xCC\x81");
  EXPECT_TRUE(kill.wasJudged("run-caf\xC3\xA9"));
  EXPECT_FALSE(kill.wasJudged("run-2"));
  kill.judged(std::nullopt);
  EXPECT_FALSE(kill.wasJudged("run-caf\xC3\xA9"));
}

}  // namespace
}  // namespace veldane
