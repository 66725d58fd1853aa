#ifndef VELDANE_STATE_WATCHDOG_LOCK_H_
#define VELDANE_STATE_WATCHDOG_LOCK_H_

#include <filesystem>

#include "state/scoped_fd.h"

namespace veldane {

// The exclusive hold of one watchdog on a data folder, so that two copies
// started for one bundle do not both judge and relaunch. The kernel lets go
// of it when the process ends, however it ends.
//
//   WatchdogLock lock;
//   if (lock.tryAcquire(files.lockPath()) == WatchdogLock::Result::heldElsewhere) wait();
class WatchdogLock {
 public:
  enum class Result {
    held,           // this process holds it
    heldElsewhere,  // another process holds it
    unavailable,    // the lock file cannot be made or locked (a read-only folder)
  };

  WatchdogLock() = default;
  WatchdogLock(const WatchdogLock&) = delete;
  WatchdogLock& operator=(const WatchdogLock&) = delete;

  // Takes the lock on the file at `path` when it is free, creating the file
  // and its folders (0700) as needed; never waits.
  Result tryAcquire(const std::filesystem::path& path);
  bool held() const { return fd_.valid(); }
  // Whether the file held is still the one at `path`: false once it was
  // deleted or replaced (its folder removed and made again, a backup restored
  // over it), when a new file there may be locked by another watchdog. Two
  // stats; true while nothing is held.
  bool isAt(const std::filesystem::path& path) const;
  // Lets go of the lock, if held.
  void release();

 private:
  ScopedFd fd_;
};

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_LOCK_H_
