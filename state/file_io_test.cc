#include "state/file_io.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "state/test_support.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

long entries(const fs::path& folder) { return std::distance(fs::directory_iterator(folder), {}); }

TEST(WatchdogStore, ReadsOnlyRegularFilesUpToTheLimit) {
  TestFolder folder;
  const fs::path file = folder.path / "watchdog.json", big = folder.path / "big";
  // A sparse file of 64 KiB is read, one a byte larger is not.
  std::ofstream{big};
  ASSERT_EQ(truncate(big.c_str(), 64 << 10), 0);
  EXPECT_EQ(WatchdogStore::readFile(big).value_or("").size(), 64u << 10);
  ASSERT_EQ(truncate(big.c_str(), (64 << 10) + 1), 0);
  // Opening a FIFO or device may block or have effects: only a regular file is
  // opened, whether links are followed or not, and no descriptor leaks.
  fs::create_directory(folder.path / "folder");
  ASSERT_EQ(mkfifo((folder.path / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", folder.path / "device");
  fs::create_symlink(folder.path / "fifo", folder.path / "fifo link");
  fs::create_symlink(folder.path / "nowhere", folder.path / "dangling");
  const long descriptors = entries("/dev/fd");
  using enum WatchdogStore::FileLinks;
  for (const auto links : {refuse, follow}) {
    for (const char* name :
         {"missing", "big", "folder", "fifo", "fifo link", "device", "dangling"}) {
      EXPECT_EQ(WatchdogStore::readFile(folder.path / name, 64 << 10, links), std::nullopt) << name;
    }
  }
  std::ofstream(file) << "{}";
  fs::create_symlink(file, folder.path / "link");
  EXPECT_EQ(WatchdogStore::readFile(folder.path / "link", 64 << 10, refuse), std::nullopt);
  EXPECT_EQ(WatchdogStore::readFile(folder.path / "link", 64 << 10, follow), "{}");
  EXPECT_EQ(entries("/dev/fd"), descriptors);
}

TEST(WatchdogStore, WriteCreatesOnlyMissingFoldersWith0700WhateverTheUmask) {
  TestFolder folder;
  ASSERT_EQ(chmod(folder.path.c_str(), 0755), 0);
  const fs::path file = folder.path / "a" / "b" / "f";
  const mode_t oldMask = umask(0377);
  const bool written = WatchdogStore::writeFileAtomically(file, "{}");
  umask(oldMask);
  ASSERT_TRUE(written);
  ASSERT_TRUE(WatchdogStore::writeFileAtomically(file, "[]", false));
  EXPECT_EQ(WatchdogStore::readFile(file), "[]");
  EXPECT_EQ(fs::status(folder.path).permissions(), fs::perms(0755));
  EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(entries(file.parent_path()), 1);
}

TEST(WatchdogStore, FailedWriteLeavesOldFilesAndNoTemporary) {
  TestFolder folder;
  std::ofstream(folder.path / "blocker") << "x";
  EXPECT_FALSE(WatchdogStore::writeFileAtomically(folder.path / "blocker" / "f.json", "{}"));
  // A folder in the target's place cannot be replaced.
  fs::create_directory(folder.path / "taken");
  std::ofstream(folder.path / "taken" / "inside") << "x";
  EXPECT_FALSE(WatchdogStore::writeFileAtomically(folder.path / "taken", "{}"));
  // A file size limit makes the write of the temporary file fail midway.
  struct rlimit oldLimit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
  const rlimit small{.rlim_cur = 4, .rlim_max = oldLimit.rlim_max};
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  const bool limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
  const bool written = WatchdogStore::writeFileAtomically(folder.path / "blocker", "nnnnnnnnnn");
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(limited);
  EXPECT_FALSE(written);
  EXPECT_EQ(WatchdogStore::readFile(folder.path / "blocker"), "x");
  EXPECT_EQ(entries(folder.path), 2);
}

}  // namespace
}  // namespace veldane
