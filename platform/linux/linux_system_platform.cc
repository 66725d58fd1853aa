#include "platform/system_platform.h"

#include <signal.h>

#include <cstdlib>

#include "platform/linux/journal_log_channel.h"
#include "platform/linux/linux_main_loop.h"
#include "platform/linux/linux_system_probes.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/loaded_code_pages.h"
#include "platform/linux/plist_bundle_reader.h"

namespace veldane {
namespace {

class LinuxSystemPlatform final : public SystemPlatform {
 public:
  void exitOnSigterm() override {
    // Both before any other thread exists, as the loop asks.
    loop_.reapOrphans();
    loop_.exitOnSigterm();
  }

  WatchdogPlatform parts() override { return {loop_, probes_, workspace_, bundles_, log_}; }

  // Posted, so that the pages go once the first tick is over.
  void releaseStartupMemory() override {
    loop_.post([] { LoadedCodePages::release(); });
  }

  void runMainLoop() override { loop_.run(); }

  [[noreturn]] void park() override {
    // Nothing but the SIGTERM source is left on the loop.
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
  LinuxSystemProbes probes_;
  PlistBundleReader bundles_;
  LinuxWorkspace workspace_{loop_, bundles_};
  JournalLogChannel log_;
};

}  // namespace

std::unique_ptr<SystemPlatform> SystemPlatform::create() {
  return std::make_unique<LinuxSystemPlatform>();
}

}  // namespace veldane
