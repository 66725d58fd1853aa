#ifndef VELDANE_PLATFORM_SYSTEM_PLATFORM_H_
#define VELDANE_PLATFORM_SYSTEM_PLATFORM_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/watchdog_platform.h"

namespace veldane {

// The watchdog's process on the system it was built for: the real parts of
// the platform, its main thread's event loop and SIGTERM. One per process,
// made and used on the main thread, in this order:
//
//   auto system = SystemPlatform::create();
//   system->exitOnSigterm();
//   auto supervisor = WatchdogSupervisor::create(path, system->parts());
//   system->releaseStartupMemory();
//   if (supervisor) { supervisor->run(); system->runMainLoop(); }
//   system->park();
class SystemPlatform {
 public:
  // The build picks the one implementation (platform/linux/ or platform/macos/).
  static std::unique_ptr<SystemPlatform> create();

  virtual ~SystemPlatform() = default;

  // Makes SIGTERM end the process with status 0 within a moment, whatever
  // the main thread is doing (blocked in a read of a file system that stopped
  // answering, say); the files are written atomically, so nothing is lost.
  // Call before any other thread exists.
  virtual void exitOnSigterm() = 0;

  // Why the process cannot be set up to run (too few file descriptors, no
  // event loop, no way to serve SIGTERM), once exitOnSigterm has been called;
  // nothing when all is well.
  virtual std::optional<std::string> setupFailure() { return std::nullopt; }

  // Borrowed from this object, which must outlive whoever holds them.
  virtual WatchdogPlatform parts() = 0;

  // Start-up (construction and the first tick) reads code and data that the
  // ticks never touch again; where the system allows, the loop gives them back
  // once that is over. May do nothing.
  virtual void releaseStartupMemory() = 0;

  // Runs the main thread's event loop: timers, main-thread work, process
  // exits, notifications. Returns only if the loop cannot go on.
  virtual void runMainLoop() = 0;

  // Parks the main thread for good while SIGTERM is still served.
  [[noreturn]] virtual void park() = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_SYSTEM_PLATFORM_H_
