#include "platform/system_platform.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/journal_log_channel.h"
#include "platform/linux/linux_hang_inspector.h"
#include "platform/linux/linux_main_loop.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/loaded_code_pages.h"
#include "platform/linux/plist_bundle_reader.h"
#include "platform/real_system_probes.h"

namespace veldane {
namespace {

// Enough for the loop, the log, a lock, a file, a process watch and a launch
// at once, beside whatever descriptors were inherited.
constexpr rlim_t kSpareDescriptors = 16;

// A tight soft limit made the watchdog fail in ways that looked like
// something else (no bundle, no tick); the hard limit is what it may have.
// `inherited` keeps the soft limit it was started with, for the host.
std::optional<std::string> ensureDescriptors(std::optional<rlim_t>& inherited) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "cannot read the open-file limit";
  inherited = limit.rlim_cur;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  DIR* descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return "no free file descriptor";
  rlim_t open = 0;
  while (const dirent* entry = readdir(descriptors)) open += entry->d_name[0] != '.';
  closedir(descriptors);
  // Less the one that listed them.
  if (open > 0) --open;
  if (limit.rlim_cur >= open + kSpareDescriptors) return std::nullopt;
  return "the open-file limit of " + std::to_string(limit.rlim_cur) + " leaves too few free (" +
         std::to_string(open) + " open, " + std::to_string(kSpareDescriptors) + " more needed)";
}

class LinuxSystemPlatform final : public SystemPlatform {
 public:
  LinuxSystemPlatform(std::optional<rlim_t> hostOpenFiles, std::optional<std::string> failure)
      : workspace_(loop_, bundles_, hostOpenFiles, &log_), failure_(std::move(failure)) {}

  void exitOnSigterm() override {
    // Both before any other thread exists, as the loop asks.
    if (!loop_.reapOrphans() && !failure_) failure_ = "cannot reap the processes handed to it";
    if (!loop_.exitOnSigterm() && !failure_) failure_ = "no thread to wait for SIGTERM";
  }

  std::optional<std::string> setupFailure() override {
    if (!failure_ && !loop_.ready()) return "no event loop";
    return failure_;
  }

  WatchdogPlatform parts() override {
    return {loop_, probes_, workspace_, bundles_, log_, hangs_};
  }

  // Posted, so that the pages go once the first tick is over.
  void releaseStartupMemory() override {
    loop_.post([] { LoadedCodePages::release(); });
  }

  void runMainLoop() override { loop_.run(); }

  [[noreturn]] void park() override {
    // Nothing is left on the loop; the SIGTERM thread ends the process.
    loop_.run();
    // Only reached if the loop itself fails: SIGTERM is blocked, so wait for it.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    int signal = 0;
    while (sigwait(&term, &signal) != 0) {
    }
    std::exit(0);
  }

 private:
  LinuxMainLoop loop_;
  RealSystemProbes probes_;
  PlistBundleReader bundles_;
  LinuxWorkspace workspace_;
  JournalLogChannel log_;
  std::optional<std::string> failure_;
  LinuxHangInspector hangs_{loop_, LinuxHangInspector::besideThisExecutable()};
};

}  // namespace

std::unique_ptr<SystemPlatform> SystemPlatform::create() {
  // Before the loop takes its descriptors. The host starts with the limit the
  // watchdog was given, as from a launcher.
  std::optional<rlim_t> hostOpenFiles;
  std::optional<std::string> failure = ensureDescriptors(hostOpenFiles);
  return std::make_unique<LinuxSystemPlatform>(hostOpenFiles, std::move(failure));
}

}  // namespace veldane
