#include "platform/file_system_room.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "state/test_support.h"

namespace veldane {
namespace {

// In a mount namespace of its own, so that the tmpfs vanishes with the child.
// The child's status: 0 all as expected, 1 a check failed, 77 no namespace.
int inSmallTmpfs(const std::string& folder, bool (*checks)(const std::string&)) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k,nr_inodes=16") != 0) {
      ::_exit(77);
    }
    ::_exit(checks(folder) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

TEST(FileSystemRoom, IsThereUntilTheDiskIsFullOrReadOnly) {
  const TestFolder dir;
  EXPECT_TRUE(hasRoomToWrite(dir.path.string()));
  EXPECT_TRUE(hasRoomToWrite((dir.path / "missing").string()));  // cannot be told

  const int full = inSmallTmpfs(dir.path.string(), [](const std::string& folder) {
    if (!hasRoomToWrite(folder)) return false;
    std::ofstream(folder + "/fill") << std::string(128 << 10, 'x');
    return !hasRoomToWrite(folder);
  });
  if (full == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(full, 0);
  EXPECT_EQ(inSmallTmpfs(dir.path.string(),
                         [](const std::string& folder) {
                           return ::mount(nullptr, folder.c_str(), nullptr,
                                          MS_REMOUNT | MS_RDONLY, nullptr) == 0 &&
                                  !hasRoomToWrite(folder);
                         }),
            0);
  // Out of inodes with blocks to spare.
  EXPECT_EQ(inSmallTmpfs(dir.path.string(),
                         [](const std::string& folder) {
                           for (int i = 0; i < 32; ++i) {
                             std::ofstream(folder + "/" + std::to_string(i)) << "";
                           }
                           return !hasRoomToWrite(folder);
                         }),
            0);
}

}  // namespace
}  // namespace veldane
