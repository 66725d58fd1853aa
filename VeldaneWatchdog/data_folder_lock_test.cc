#include "VeldaneWatchdog/data_folder_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "state/test_support.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using Taken = DataFolderLock::Taken;
using Recheck = DataFolderLock::Recheck;
using State = DataFolderLock::State;

class DataFolderLockTest : public ::testing::Test, public TestFolder {
 protected:
  WatchdogFiles files() const { return WatchdogFiles(path / "Watchdog"); }
};

TEST_F(DataFolderLockTest, TheFirstWatchdogTakesAndThenHoldsIt) {
  DataFolderLock lock;
  EXPECT_EQ(lock.take(files()), Taken::held);
  EXPECT_EQ(lock.state(), State::holding);
  EXPECT_EQ(lock.take(files()), Taken::held);
  EXPECT_TRUE(fs::exists(files().lockPath()));
}

TEST_F(DataFolderLockTest, TakingItRemovesWhatInterruptedWritesLeft) {
  fs::create_directories(files().directory());
  const fs::path left = files().directory() / ".watchdog.json.a1B2c3";
  std::ofstream(left) << "{";
  DataFolderLock lock;
  lock.take(files());
  EXPECT_FALSE(fs::exists(left));
}

TEST_F(DataFolderLockTest, ASecondWatchdogStartsWaitingOnceThenWaits) {
  DataFolderLock first, second;
  first.take(files());
  EXPECT_EQ(second.take(files()), Taken::startedWaiting);
  EXPECT_EQ(second.state(), State::waiting);
  EXPECT_EQ(second.take(files()), Taken::waiting);
}

TEST_F(DataFolderLockTest, AWaitingWatchdogTakesOverWhenTheHolderEnds) {
  auto first = std::make_unique<DataFolderLock>();
  DataFolderLock second;
  first->take(files());
  second.take(files());
  first.reset();
  EXPECT_EQ(second.take(files()), Taken::tookOver);
  EXPECT_EQ(second.take(files()), Taken::held);
}

TEST_F(DataFolderLockTest, ALockThatCannotBeMadeLeavesTheWatchdogActingWithoutIt) {
  std::ofstream(path / "file") << "";
  DataFolderLock lock;
  EXPECT_EQ(lock.take(WatchdogFiles(path / "file" / "Watchdog")), Taken::unavailable);
  EXPECT_EQ(lock.state(), State::none);
}

TEST_F(DataFolderLockTest, RecheckFindsTheHeldFileInPlace) {
  DataFolderLock lock;
  lock.take(files());
  EXPECT_EQ(lock.recheck(files()), Recheck::held);
}

TEST_F(DataFolderLockTest, RecheckLocksADeletedFileAgain) {
  DataFolderLock lock;
  lock.take(files());
  fs::remove(files().lockPath());
  EXPECT_EQ(lock.recheck(files()), Recheck::lockedAgain);
  EXPECT_TRUE(fs::exists(files().lockPath()));
  EXPECT_EQ(lock.recheck(files()), Recheck::held);
}

TEST_F(DataFolderLockTest, RecheckStepsDownForAWatchdogThatLockedTheNewFile) {
  DataFolderLock first, second;
  first.take(files());
  second.take(files());
  fs::remove_all(files().directory());
  EXPECT_EQ(second.take(files()), Taken::tookOver);
  EXPECT_EQ(first.recheck(files()), Recheck::lostToAnother);
  EXPECT_EQ(first.state(), State::waiting);
  EXPECT_EQ(first.recheck(files()), Recheck::waiting);
}

}  // namespace
}  // namespace veldane
