#include "VeldaneWatchdog/early_cpu_sample.h"

#include <gtest/gtest.h>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

constexpr Seconds kLimit{45};

class EarlyCpuSampleTest : public ::testing::Test {
 protected:
  EarlyCpuSampleTest() {
    record_.pid = 300;
    record_.launchID = "run-300";
    fake_.cpu[300] = {{300, 1.5}};
  }
  void follow(double stalled, double uptime = 1000) {
    sample_.follow(record_, Seconds(stalled), kLimit, Seconds(uptime), fake_);
  }
  FakePlatform fake_;
  HostRunRecord record_;
  EarlyCpuSample sample_;
};

TEST_F(EarlyCpuSampleTest, NoSampleUpToHalfTheLimit) {
  follow(22.5);
  EXPECT_FALSE(sample_.taken());
  EXPECT_TRUE(fake_.samples.empty());
}

TEST_F(EarlyCpuSampleTest, TakesOneSamplePastHalfTheLimit) {
  follow(23, 1000);
  follow(26, 1003);
  ASSERT_TRUE(sample_.taken());
  EXPECT_EQ(sample_.taken()->at, Seconds(1000));
  EXPECT_EQ(sample_.taken()->sample, (HostCpuSample{{300, 1.5}}));
  EXPECT_EQ(fake_.samples.size(), 1u);
}

TEST_F(EarlyCpuSampleTest, TakesNoneOnceAlreadyPastTheLimit) {
  follow(46);
  EXPECT_FALSE(sample_.taken());
}

TEST_F(EarlyCpuSampleTest, BeatingAgainDropsTheSample) {
  follow(30);
  follow(1);
  EXPECT_FALSE(sample_.taken());
}

TEST_F(EarlyCpuSampleTest, ACleanExitDropsTheSample) {
  follow(30);
  record_.cleanExit = true;
  follow(30);
  EXPECT_FALSE(sample_.taken());
}

TEST_F(EarlyCpuSampleTest, AnotherRunGetsASampleOfItsOwn) {
  follow(30);
  record_.launchID = "run-301";
  follow(31);
  EXPECT_EQ(fake_.samples.size(), 2u);
  EXPECT_EQ(sample_.taken()->launchID, "run-301");
}

TEST_F(EarlyCpuSampleTest, IsHandedOverOnceForItsPidOnly) {
  follow(30);
  EXPECT_FALSE(sample_.takeFor(301));
  EXPECT_FALSE(sample_.taken()) << "dropped by a kill of another pid";
  follow(30);
  EXPECT_TRUE(sample_.takeFor(300));
  EXPECT_FALSE(sample_.takeFor(300));
}

}  // namespace
}  // namespace veldane
