#include "state/watchdog_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "state/watchdog_store.h"

namespace veldane {

WatchdogLock::~WatchdogLock() {
  if (fd_ >= 0) close(fd_);
}

WatchdogLock::Result WatchdogLock::tryAcquire(const std::filesystem::path& path) {
  if (fd_ >= 0) return Result::held;
  if (!WatchdogStore::createFolders(path.parent_path())) return Result::unavailable;
  // Read-only: a file open for writing would keep its file system from
  // being remounted read-only.
  const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? Result::heldElsewhere : Result::unavailable;
  }
  fd_ = fd;
  return Result::held;
}

}  // namespace veldane
