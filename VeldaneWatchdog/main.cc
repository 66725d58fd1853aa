// The watchdog's entry point: SIGTERM, the own path, the supervisor, the loop.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "platform/host_process_info.h"
#include "platform/linux/journal_log_channel.h"
#include "platform/linux/linux_main_loop.h"
#include "platform/linux/linux_system_probes.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/loaded_code_pages.h"
#include "platform/linux/plist_bundle_reader.h"

namespace {

constexpr char kNotInBundle[] = "VeldaneWatchdog: not inside a Veldane app bundle; idling.\n";

[[noreturn]] void idleUntilTerminated() {
  // Only reached if the loop itself fails: SIGTERM is blocked, so wait for it.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  int signal = 0;
  while (sigwait(&term, &signal) != 0) {
  }
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace veldane;
  LinuxMainLoop loop;
  loop.exitOnSigterm();

  std::optional<std::string> own = HostProcessInfo::executablePath(getpid());
  std::string executable = own ? *own : (argc > 0 && argv[0] ? argv[0] : "");

  LinuxSystemProbes probes;
  PlistBundleReader bundles;
  LinuxWorkspace workspace(loop, bundles);
  JournalLogChannel log;
  std::shared_ptr<WatchdogSupervisor> supervisor;
  if (!executable.empty()) {
    supervisor = WatchdogSupervisor::create(executable, {loop, probes, workspace, bundles, log});
  }
  // Once start-up is over, which is also the first tick, its pages can go.
  loop.post([] { LoadedCodePages::release(); });
  if (supervisor) {
    supervisor->run();
    loop.run();
    supervisor.reset();
  } else {
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kNotInBundle, sizeof kNotInBundle - 1);
  }
  // Idling: nothing but the SIGTERM source is left on the loop.
  loop.run();
  idleUntilTerminated();
}
