#ifndef VELDANE_VELDANEWATCHDOG_DATA_FOLDER_LOCK_H_
#define VELDANE_VELDANEWATCHDOG_DATA_FOLDER_LOCK_H_

#include "state/watchdog_files.h"
#include "state/watchdog_lock.h"

namespace veldane {

// This watchdog's claim on its data folder: one watchdog acts per folder,
// and another started for the same bundle waits until it can take over.
// Where no lock can be had at all (a read-only folder) the watchdog acts
// without one rather than leave the host unwatched.
//
//   switch (lock.take(files)) { case DataFolderLock::Taken::waiting: return; ... }
class DataFolderLock {
 public:
  enum class State {
    none,     // not tried yet, or the lock cannot be had: acting without it
    holding,  // this watchdog holds it
    waiting,  // another watchdog holds it
  };

  // What take() found.
  enum class Taken {
    held,            // held already, or taken now with no other watchdog before
    tookOver,        // taken from a watchdog that held it until now
    startedWaiting,  // another watchdog holds it, found just now
    waiting,         // another watchdog still holds it
    unavailable,     // cannot be had: act without it
  };

  // What recheck() found of a lock file looked at again before acting.
  enum class Recheck {
    held,             // still the file held (or nothing is held)
    lockedAgain,      // deleted or replaced, and locked again now
    cannotLockAgain,  // deleted or replaced, and cannot be locked now
    lostToAnother,    // deleted or replaced, and another watchdog holds it now
    waiting,          // this watchdog waits for another one
  };

  // Takes the lock when it is free, removing what writes cut short by a kill
  // left in the folder; never waits. Cheap once held.
  Taken take(const WatchdogFiles& files);

  // The lock's file may have gone with its folder (application data reset, a
  // backup restored with deletion), and a waiting watchdog may hold a new
  // one at the same path by now. Two stats while it is still held.
  Recheck recheck(const WatchdogFiles& files);

  State state() const { return state_; }

 private:
  WatchdogLock::Result acquire(const WatchdogFiles& files);

  WatchdogLock lock_;
  State state_ = State::none;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_DATA_FOLDER_LOCK_H_
