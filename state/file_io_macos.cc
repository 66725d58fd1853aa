#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/file_io_system.h"

namespace veldane::WatchdogStore::os {

// Without O_PATH the type is looked at first and the file that was opened
// then compared with it.
ScopedFd openRegularFileFollowingLinks(const std::filesystem::path& path, struct stat& info) {
  struct stat named;
  if (stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return ScopedFd();
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_dev != named.st_dev || info.st_ino != named.st_ino) {
    return ScopedFd();
  }
  return fd;
}

// fsync leaves the bytes in the drive's cache, where a power loss takes
// them; F_FULLFSYNC has the drive write them, where its file system can.
bool flushToDisk(int fd) { return fcntl(fd, F_FULLFSYNC) == 0 || fsync(fd) == 0; }

}  // namespace veldane::WatchdogStore::os
