#include "platform/system_platform.h"

#include <dispatch/dispatch.h>

#include <optional>
#include <string>

#include "platform/macos/cf_bundle_reader.h"
#include "platform/macos/macos_hang_inspector.h"
#include "platform/macos/macos_main_loop.h"
#include "platform/macos/macos_workspace.h"
#include "platform/macos/unified_log_channel.h"
#include "platform/real_system_probes.h"

namespace veldane {
namespace {

class MacosSystemPlatform final : public SystemPlatform {
 public:
  void exitOnSigterm() override {
    if (!loop_.exitOnSigterm()) failure_ = "no way to serve SIGTERM";
  }

  std::optional<std::string> setupFailure() override { return failure_; }

  WatchdogPlatform parts() override {
    return {loop_, probes_, workspace_, bundles_, log_, hangs_};
  }

  // The system's libraries live in the shared cache that every process maps,
  // so they are not the watchdog's own memory as on Linux: nothing to give back.
  void releaseStartupMemory() override {}

  void runMainLoop() override { loop_.run(); }

  [[noreturn]] void park() override { dispatch_main(); }

 private:
  MacosMainLoop loop_;
  RealSystemProbes probes_;
  CFBundleReader bundles_;
  MacosWorkspace workspace_;
  UnifiedLogChannel log_;
  std::optional<std::string> failure_;
  MacosHangInspector hangs_;
};

}  // namespace

std::unique_ptr<SystemPlatform> SystemPlatform::create() {
  return std::make_unique<MacosSystemPlatform>();
}

}  // namespace veldane
