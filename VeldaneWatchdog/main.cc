// The watchdog's entry point: SIGTERM, the own path, the supervisor, the loop.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "platform/process_info.h"
#include "platform/system_platform.h"

namespace {

constexpr char kNotInBundle[] = "VeldaneWatchdog: not inside a Veldane app bundle; idling.\n";

// Said on standard error and, once there is a platform, in the log; the job
// manager then starts the watchdog again, perhaps with more to work with.
[[noreturn]] void fail(veldane::SystemPlatform* system, const char* why) {
  // Piece by piece: after a failed allocation, building one text may fail too.
  for (const char* piece : {"VeldaneWatchdog: cannot run: ", why, "\n"}) {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, piece, std::strlen(piece));
  }
  if (system != nullptr) {
    try {
      system->parts().log.log(veldane::LogLevel::error, std::string("Cannot run: ") + why);
      // Sent by another thread; worth a moment before the end, no more.
      system->parts().log.flush(veldane::Seconds{0.5});
    } catch (...) {
    }
  }
  _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veldane;
  std::unique_ptr<SystemPlatform> system;
  try {
    system = SystemPlatform::create();
    system->exitOnSigterm();
    // A write to a closed pipe, the idle message's among them, fails with
    // EPIPE instead of ending the watchdog. The host is launched with the default.
    signal(SIGPIPE, SIG_IGN);
    if (std::optional<std::string> why = system->setupFailure()) fail(system.get(), why->c_str());

    std::optional<std::string> own = ProcessInfo::executablePath(getpid());
    std::string executable = own ? *own : (argc > 0 && argv[0] ? argv[0] : "");

    std::shared_ptr<WatchdogSupervisor> supervisor;
    if (!executable.empty()) supervisor = WatchdogSupervisor::create(executable, system->parts());
    system->releaseStartupMemory();
    if (!supervisor) {
      [[maybe_unused]] ssize_t written =
          write(STDERR_FILENO, kNotInBundle, sizeof kNotInBundle - 1);
      // The job manager sends standard error nowhere; the log is read.
      system->parts().log.log(LogLevel::error, std::string(kNotInBundle, sizeof kNotInBundle - 2));
      system->park();
    }
    supervisor->run();
    system->runMainLoop();
  } catch (const std::exception& error) {
    fail(system.get(), error.what());
  } catch (...) {
    fail(system.get(), "unknown error");
  }
  // Without its loop nobody looks at the host any more.
  fail(system.get(), "the event loop stopped");
}
