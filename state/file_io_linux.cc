#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "state/file_io_system.h"

namespace veldane::WatchdogStore::os {

// An O_PATH descriptor shows the type of the file that the links lead to
// without opening it, and its /proc name then opens exactly that file.
ScopedFd openRegularFileFollowingLinks(const std::filesystem::path& path, struct stat& info) {
  ScopedFd handle(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!handle.valid() || fstat(handle.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return ScopedFd();
  }
  char name[32];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", handle.get());
  return ScopedFd(open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

bool flushToDisk(int fd) { return fsync(fd) == 0; }

}  // namespace veldane::WatchdogStore::os
