#include "platform/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace veldane {
namespace {

namespace fs = std::filesystem;

class FileIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/identity-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ / "file";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes `content` to `path` and sets its modification time explicitly.
  static void write(const fs::path& path, const char* content, time_t seconds, long nanos) {
    std::ofstream(path, std::ios::trunc) << content;
    const timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  fs::path dir_;
  fs::path path_;
};

constexpr time_t kSecond = 1700000000;

TEST_F(FileIdentityTest, RewriteInSameSecondKeepsIdentity) {
  write(path_, "one", kSecond, 100);
  const auto before = FileIdentity::atPath(path_);
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(before->modified, kSecond);
  write(path_, "two, longer", kSecond, 900'000'000);
  EXPECT_EQ(FileIdentity::atPath(path_), before);
}

TEST_F(FileIdentityTest, ReplacementOrLaterSecondChangesIdentity) {
  write(path_, "one", kSecond, 0);
  const auto original = FileIdentity::atPath(path_);
  ASSERT_TRUE(original.has_value());

  write(path_, "one", kSecond + 1, 0);
  EXPECT_NE(FileIdentity::atPath(path_), original);

  write(path_, "one", kSecond, 0);
  ASSERT_EQ(FileIdentity::atPath(path_), original);
  const fs::path replacement = dir_ / "replacement";
  write(replacement, "one", kSecond, 0);
  fs::rename(replacement, path_);
  const auto replaced = FileIdentity::atPath(path_);
  ASSERT_TRUE(replaced.has_value());
  EXPECT_NE(replaced->inode, original->inode);
  EXPECT_NE(replaced, original);
}

TEST_F(FileIdentityTest, FollowsLinksAndMissingIsAbsent) {
  write(path_, "one", kSecond, 0);
  fs::create_symlink(path_, dir_ / "link");
  EXPECT_EQ(FileIdentity::atPath(dir_ / "link"), FileIdentity::atPath(path_));
  EXPECT_EQ(FileIdentity::atPath(dir_ / "missing"), std::nullopt);
}

}  // namespace
}  // namespace veldane
