// The watchdog's entry point: SIGTERM, the own path, the supervisor, the loop.
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "platform/host_process_info.h"
#include "platform/system_platform.h"

namespace {

constexpr char kNotInBundle[] = "VeldaneWatchdog: not inside a Veldane app bundle; idling.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace veldane;
  std::unique_ptr<SystemPlatform> system = SystemPlatform::create();
  system->exitOnSigterm();

  std::optional<std::string> own = HostProcessInfo::executablePath(getpid());
  std::string executable = own ? *own : (argc > 0 && argv[0] ? argv[0] : "");

  std::shared_ptr<WatchdogSupervisor> supervisor;
  if (!executable.empty()) supervisor = WatchdogSupervisor::create(executable, system->parts());
  system->releaseStartupMemory();
  if (supervisor) {
    supervisor->run();
    system->runMainLoop();
    supervisor.reset();
  } else {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kNotInBundle, sizeof kNotInBundle - 1);
  }
  system->park();
}
