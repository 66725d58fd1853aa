#include "VeldaneWatchdog/data_folder_lock.h"

#include <chrono>

#include "state/watchdog_store.h"

namespace veldane {

WatchdogLock::Result DataFolderLock::acquire(const WatchdogFiles& files) {
  const WatchdogLock::Result lock = lock_.tryAcquire(files.lockPath());
  if (lock == WatchdogLock::Result::held) {
    // Every temporary file of the ledger and the hang report, which only the
    // lock's holder writes, and those of the host that are clearly old.
    using std::chrono::minutes, std::chrono::seconds;
    WatchdogStore::removeTemporaryFiles(files.ledgerPath(), seconds(-1));
    WatchdogStore::removeTemporaryFiles(files.hangReportPath(), seconds(-1));
    WatchdogStore::removeTemporaryFiles(files.hostRecordPath(), minutes(1));
    WatchdogStore::removeTemporaryFiles(files.hangNotePath(), minutes(1));
  }
  return lock;
}

DataFolderLock::Taken DataFolderLock::take(const WatchdogFiles& files) {
  if (lock_.held()) return Taken::held;
  switch (acquire(files)) {
    case WatchdogLock::Result::held: {
      const bool tookOver = state_ == State::waiting;
      state_ = State::holding;
      return tookOver ? Taken::tookOver : Taken::held;
    }
    case WatchdogLock::Result::heldElsewhere:
      if (state_ == State::waiting) return Taken::waiting;
      state_ = State::waiting;
      return Taken::startedWaiting;
    case WatchdogLock::Result::unavailable:
      // A waiting watchdog that cannot lock either keeps waiting for its turn.
      if (state_ != State::waiting) state_ = State::none;
      return Taken::unavailable;
  }
  return Taken::unavailable;
}

DataFolderLock::Recheck DataFolderLock::recheck(const WatchdogFiles& files) {
  if (state_ == State::waiting) return Recheck::waiting;
  if (lock_.isAt(files.lockPath())) return Recheck::held;
  lock_.release();
  switch (acquire(files)) {
    case WatchdogLock::Result::held:
      state_ = State::holding;
      return Recheck::lockedAgain;
    case WatchdogLock::Result::heldElsewhere:
      state_ = State::waiting;
      return Recheck::lostToAnother;
    case WatchdogLock::Result::unavailable:
      state_ = State::none;
      return Recheck::cannotLockAgain;
  }
  return Recheck::cannotLockAgain;
}

}  // namespace veldane
