#include "host/curtain_activity.h"

#include <gtest/gtest.h>

#include <new>
#include <utility>

namespace veldane {
namespace {

struct Counts {
  int begun = 0;
  int ended = 0;
};

class CountedActivity final : public ProcessActivity {
 public:
  explicit CountedActivity(Counts& counts) : counts_(counts) { ++counts_.begun; }
  ~CountedActivity() override { ++counts_.ended; }

 private:
  Counts& counts_;  // weak
};

CurtainActivity::Begin counting(Counts& counts) {
  return [&counts] { return std::make_unique<CountedActivity>(counts); };
}

TEST(CurtainActivity, OneActivityFromRaiseToLoweringHoweverOftenEitherIsSaid) {
  Counts counts;
  CurtainActivity activity(counting(counts));
  activity.set(false);
  EXPECT_EQ(counts.begun, 0);
  activity.set(true);
  activity.set(true);
  EXPECT_TRUE(activity.held());
  EXPECT_EQ(counts.begun, 1);
  EXPECT_EQ(counts.ended, 0);
  activity.set(false);
  activity.set(false);
  EXPECT_FALSE(activity.held());
  EXPECT_EQ(counts.ended, 1);
  activity.set(true);
  EXPECT_EQ(counts.begun, 2);
  EXPECT_EQ(counts.ended, 1);
}

TEST(CurtainActivity, EndsWithTheSessionButNotInAForkedChild) {
  Counts counts;
  {
    CurtainActivity activity(counting(counts));
    activity.set(true);
  }
  EXPECT_EQ(counts.ended, 1);
  ProcessActivity* parents = nullptr;
  {
    CurtainActivity activity([&] {
      auto made = std::make_unique<CountedActivity>(counts);
      parents = made.get();
      return std::unique_ptr<ProcessActivity>(std::move(made));
    });
    activity.set(true);
    activity.abandon();
    EXPECT_FALSE(activity.held());
  }
  EXPECT_EQ(counts.begun, 2);
  EXPECT_EQ(counts.ended, 1);
  delete parents;  // let go, not ended: this test still owns it
  EXPECT_EQ(counts.ended, 2);
}

TEST(CurtainActivity, ABeginThatThrowsIsTriedAgainAtTheNextRaise) {
  Counts counts;
  bool fail = true;
  CurtainActivity activity([&]() -> std::unique_ptr<ProcessActivity> {
    if (fail) throw std::bad_alloc();
    return std::make_unique<CountedActivity>(counts);
  });
  activity.set(true);
  EXPECT_FALSE(activity.held());
  fail = false;
  activity.set(true);
  EXPECT_TRUE(activity.held());
  EXPECT_EQ(counts.begun, 1);
}

// Where nothing throttles timers there is nothing to hold, and the curtain
// still counts as up.
TEST(CurtainActivity, APlatformWithoutThrottlingHoldsNothing) {
  CurtainActivity activity;
  activity.set(true);
  EXPECT_TRUE(activity.held());
  activity.set(false);
  EXPECT_FALSE(activity.held());
}

}  // namespace
}  // namespace veldane
