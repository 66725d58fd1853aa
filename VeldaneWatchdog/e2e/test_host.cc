// A stand-in for the host application, for the end-to-end tests. It keeps its
// run record the way a real host does and follows a plan written by the test:
//
//   $VELDANE_TEST_CONTROL/launches  one line "<pid> <arguments...>" per start
//   $VELDANE_TEST_CONTROL/plan      line N is what the Nth start does (the last
//                                   line repeats): "run", "crash <s>", "hang",
//                                   "exit <s>"
//
// The bundle identifier comes from $VELDANE_TEST_IDENTIFIER; the watchdog
// passes its environment on, so relaunched hosts see the same values. The host
// ends when the test process $VELDANE_TEST_OWNER is gone.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/application_support.h"
#include "platform/host_process_info.h"
#include "platform/uptime_clock.h"
#include "state/host_run_record.h"
#include "state/watchdog_files.h"
#include "state/watchdog_store.h"

namespace {

using namespace std::chrono_literals;
using veldane::HostRunRecord;

std::string freshLaunchID() {
  std::random_device entropy;
  std::ostringstream id;
  id << std::hex << entropy() << entropy() << '-' << getpid();
  return id.str();
}

// Appends this start to the launch log and gives its 1-based number.
size_t logLaunch(const std::string& control, int argc, char** argv) {
  std::string line = std::to_string(getpid());
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  std::ofstream(control + "/launches", std::ios::app) << line << '\n' << std::flush;
  std::ifstream log(control + "/launches");
  size_t count = 0;
  for (std::string entry; std::getline(log, entry);) ++count;
  return count;
}

std::string planStep(const std::string& control, size_t launch) {
  std::ifstream plan(control + "/plan");
  std::vector<std::string> steps;
  for (std::string line; std::getline(plan, line);) steps.push_back(line);
  if (steps.empty()) return "run";
  return steps[std::min(launch, steps.size()) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  const char* identifier = std::getenv("VELDANE_TEST_IDENTIFIER");
  const char* control = std::getenv("VELDANE_TEST_CONTROL");
  std::optional<std::string> executable = veldane::HostProcessInfo::executablePath(getpid());
  std::optional<std::string> bundle =
      executable ? veldane::WatchdogFiles::hostBundlePath(*executable) : std::nullopt;
  std::optional<std::string> support = veldane::applicationSupportDirectory();
  if (!identifier || !control || !bundle || !support) return 2;
  const auto files = veldane::WatchdogFiles::forBundle(*support, identifier, *bundle);

  // A planned crash must not leave a core file behind.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  std::istringstream step(planStep(control, logLaunch(control, argc, argv)));
  std::string action;
  double seconds = 0;
  step >> action >> seconds;

  HostRunRecord record;
  record.pid = getpid();
  record.launchID = freshLaunchID();
  record.bootSession = veldane::HostProcessInfo::bootSession();
  record.executablePath = *executable;
  record.startedAt = std::chrono::system_clock::now();
  record.curtainUp = action == "hang";
  for (int i = 1; i < argc; ++i) record.safeMode |= std::string(argv[i]) == "--veldane-safe-mode";
  auto beat = [&] {
    record.heartbeatUptime = veldane::systemUptime();
    record.heartbeatAt = std::chrono::system_clock::now();
    veldane::WatchdogStore::write(record, files.hostRecordPath());
  };

  // Should the test die without its clean-up, its hosts end by themselves.
  const char* owner = std::getenv("VELDANE_TEST_OWNER");
  auto ownerGone = [owner] { return owner && kill(std::atoi(owner), 0) != 0 && errno == ESRCH; };

  beat();
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (action == "run" || action == "hang" || std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(200ms);
    if (ownerGone()) return 3;
    if (action != "hang") beat();
  }
  if (action == "crash") std::abort();
  record.cleanExit = true;
  beat();
  return 0;
}
