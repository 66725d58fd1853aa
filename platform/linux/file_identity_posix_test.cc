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

constexpr time_t kSecond = 1700000000;

// Writes `content` to `path` with an explicit modification time.
void write(const fs::path& path, const char* content, time_t seconds, long nanos) {
  std::ofstream(path, std::ios::trunc) << content;
  const timespec times[2] = {{seconds, nanos}, {seconds, nanos}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(FileIdentity, ChangesWithANewFileOrALaterSecondOnly) {
  char pattern[] = "/tmp/identity-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern, file = dir / "file", other = dir / "other";
  write(file, "one", kSecond, 100);
  const auto original = FileIdentity::atPath(file);
  ASSERT_TRUE(original.has_value());
  EXPECT_EQ(original->modified, kSecond);

  write(file, "two, longer", kSecond, 900'000'000);
  EXPECT_EQ(FileIdentity::atPath(file), original) << "rewritten within the same second";
  fs::create_symlink(file, dir / "link");
  EXPECT_EQ(FileIdentity::atPath(dir / "link"), original) << "links are followed";
  write(file, "one", kSecond + 1, 100);
  EXPECT_NE(FileIdentity::atPath(file), original) << "a later second";

  write(file, "one", kSecond, 100);
  ASSERT_EQ(FileIdentity::atPath(file), original);
  write(other, "one", kSecond, 100);
  fs::rename(other, file);
  EXPECT_NE(FileIdentity::atPath(file), original) << "replaced by another file";
  EXPECT_EQ(FileIdentity::atPath(dir / "missing"), std::nullopt);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace veldane
