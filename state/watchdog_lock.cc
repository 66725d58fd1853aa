#include "state/watchdog_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "state/file_io.h"

namespace veldane {

void WatchdogLock::release() { fd_.reset(); }

bool WatchdogLock::isAt(const std::filesystem::path& path) const {
  if (!fd_.valid()) return true;
  struct stat held {};
  struct stat there {};
  // The held file stays open, so its inode number cannot be given to another.
  if (fstat(fd_.get(), &held) != 0) return true;
  return stat(path.c_str(), &there) == 0 && held.st_dev == there.st_dev &&
         held.st_ino == there.st_ino;
}

WatchdogLock::Result WatchdogLock::tryAcquire(const std::filesystem::path& path) {
  if (fd_.valid()) return Result::held;
  if (!WatchdogStore::createFolders(path.parent_path())) return Result::unavailable;
  // Read-only: a file open for writing would keep its file system from
  // being remounted read-only.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600));
  if (!fd.valid()) return Result::unavailable;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? Result::heldElsewhere : Result::unavailable;
  }
  fd_ = std::move(fd);
  return Result::held;
}

}  // namespace veldane
