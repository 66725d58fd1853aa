#include "platform/host_liveness.h"

#include <gtest/gtest.h>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

const std::string kHost = "/Applications/Caf\xC3\xA9.app/Contents/MacOS/Host";

class HostLivenessTest : public ::testing::Test {
 protected:
  HostLivenessTest() {
    record_.pid = 300;
    record_.executablePath = kHost;
    record_.heartbeatUptime = 1000;
  }
  FakePlatform fake_;
  HostRunRecord record_;
};

TEST_F(HostLivenessTest, ThePidRunningTheRecordedProgramIsAlive) {
  fake_.processes[300] = kHost;
  EXPECT_TRUE(HostLiveness::isAlive(fake_, record_));
}

TEST_F(HostLivenessTest, NoProcessAtThePidIsNotAlive) {
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
}

TEST_F(HostLivenessTest, AnotherProgramAtThePidIsNotAlive) {
  fake_.processes[300] = "/usr/bin/other";
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
}

TEST_F(HostLivenessTest, PathsCompareNormalisedAsThePlatformComparesNames) {
  fake_.processes[300] = "/Applications/./Caf\xC3\xA9.app//Contents/MacOS/Host";
  EXPECT_TRUE(HostLiveness::isAlive(fake_, record_));
  // Two Unicode forms name two files where names are bytes.
  fake_.processes[300] = "/Applications/Cafe\xCC\x81.app/Contents/MacOS/Host";
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
}

TEST_F(HostLivenessTest, AnotherUsersProcessIsNotAliveUnlessWatched) {
  fake_.processes[300] = kHost;
  fake_.otherUsers.insert(300);
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
  EXPECT_TRUE(HostLiveness::isAlive(fake_, record_, /*watched=*/true));
}

TEST_F(HostLivenessTest, TheSameProgramOfABundleMovedAsideIsAliveIfStartedBeforeTheLastBeat) {
  fake_.processes[300] = "/Applications/Caf\xC3\xA9.app.old/Contents/MacOS/Host";
  fake_.startedAt[300] = 999.98;
  EXPECT_TRUE(HostLiveness::isAlive(fake_, record_));
  // Within the start time's grain of the beat: a process that took the pid over.
  fake_.startedAt[300] = 999.995;
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
}

TEST_F(HostLivenessTest, AnotherProgramOfABundleMovedAsideIsNotAlive) {
  fake_.processes[300] = "/Applications/Caf\xC3\xA9.app.old/Contents/MacOS/Other";
  fake_.startedAt[300] = 900;
  EXPECT_FALSE(HostLiveness::isAlive(fake_, record_));
}

}  // namespace
}  // namespace veldane
