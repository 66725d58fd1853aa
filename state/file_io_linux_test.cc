#include "state/file_io.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "state/scoped_fd.h"
#include "state/test_support.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

// Opening a FIFO may block or have effects: it is refused unopened, even
// through a link that is followed.
TEST(WatchdogStore, NeverOpensAFifo) {
  TestFolder folder;
  ASSERT_EQ(mkfifo((folder.path / "fifo").c_str(), 0600), 0);
  fs::create_symlink(folder.path / "fifo", folder.path / "fifo link");
  ScopedFd opens(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(opens.get(), (folder.path / "fifo").c_str(), IN_OPEN), 0);
  using enum WatchdogStore::FileLinks;
  for (const auto links : {refuse, follow}) {
    for (const char* name : {"fifo", "fifo link"}) {
      EXPECT_EQ(WatchdogStore::readFile(folder.path / name, 64 << 10, links), std::nullopt) << name;
    }
  }
  char event[256];
  EXPECT_LT(read(opens.get(), event, sizeof event), 0) << "the FIFO was opened";
}

// /proc's files say they are empty and are not: a file that turns out longer
// than its size is read on, up to the limit.
TEST(WatchdogStore, AFileLongerThanItsSizeSaysIsReadWholeWithinTheLimit) {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string whole{std::istreambuf_iterator<char>(file), {}};
  ASSERT_GT(whole.size(), 2u);
  EXPECT_EQ(WatchdogStore::readFile("/proc/self/cmdline", whole.size()), whole);
  EXPECT_EQ(WatchdogStore::readFile("/proc/self/cmdline", whole.size() - 1), std::nullopt);
}

}  // namespace
}  // namespace veldane
