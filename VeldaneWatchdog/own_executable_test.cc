#include "VeldaneWatchdog/own_executable.h"

#include <gtest/gtest.h>

#include "platform/test/fake_platform.h"

namespace veldane {
namespace {

class OwnExecutableTest : public ::testing::Test {
 protected:
  OwnExecutableTest() { fake_.ownIdentity = FileIdentity{7, 1234, 1'700'000'000}; }
  FakePlatform fake_;
};

TEST_F(OwnExecutableTest, TheSameFileIsNoReplacement) {
  OwnExecutable own("/A.app/Contents/MacOS/W", fake_);
  EXPECT_FALSE(own.wasReplaced(fake_));
  EXPECT_EQ(own.path(), "/A.app/Contents/MacOS/W");
}

TEST_F(OwnExecutableTest, AnotherFileAtItsPathIsAReplacement) {
  OwnExecutable own("/A.app/Contents/MacOS/W", fake_);
  fake_.ownIdentity->inode = 1235;
  EXPECT_TRUE(own.wasReplaced(fake_));
}

TEST_F(OwnExecutableTest, MissingAtTwoLooksInARowIsAReplacement) {
  OwnExecutable own("/A.app/Contents/MacOS/W", fake_);
  const std::optional<FileIdentity> file = fake_.ownIdentity;
  fake_.ownIdentity.reset();
  EXPECT_FALSE(own.wasReplaced(fake_));
  fake_.ownIdentity = file;
  EXPECT_FALSE(own.wasReplaced(fake_));
  fake_.ownIdentity.reset();
  EXPECT_FALSE(own.wasReplaced(fake_));
  EXPECT_TRUE(own.wasReplaced(fake_));
}

TEST_F(OwnExecutableTest, AFileUnreadableAtStartUpIsNeverTakenForAReplacement) {
  fake_.ownIdentity.reset();
  OwnExecutable own("/A.app/Contents/MacOS/W", fake_);
  fake_.ownIdentity = FileIdentity{7, 1, 1};
  EXPECT_FALSE(own.wasReplaced(fake_));
}

}  // namespace
}  // namespace veldane
