// veldane-watchdog-status [--json] [BUNDLE]: what the watchdog of one bundle
// sees in its data folder, for a person or, with --json, for a script.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/application_support.h"
#include "platform/bundle_reader.h"
#include "platform/host_liveness.h"
#include "platform/process_info.h"
#include "platform/real_system_probes.h"
#include "platform/uptime_clock.h"
#include "platform/watchdog_registration.h"
#include "state/watchdog_files.h"
#include "state/watchdog_store.h"
#include "tools/watchdog_registration_report.h"
#include "tools/watchdog_status_report.h"

namespace {

using namespace veldane;

constexpr char kUsage[] =
    "usage: veldane-watchdog-status [--json] [BUNDLE]\n"
    "Shows what the watchdog of the .app bundle BUNDLE sees: the host's run record,\n"
    "its hang note, the watchdog's ledger and its report of the last hang, and\n"
    "whether the job manager runs the watchdog and starts it at login. BUNDLE\n"
    "may be left out when this command sits in a bundle's Contents/MacOS folder.\n";

template <typename T>
StatusFile<T> readStatusFile(const std::filesystem::path& path,
                             size_t limit = WatchdogStore::kMaxFileSize) {
  std::error_code ignored;
  return {std::filesystem::exists(std::filesystem::symlink_status(path, ignored)),
          WatchdogStore::read<T>(path, limit)};
}

WatchdogStatusInput gather(const std::string& bundlePath) {
  WatchdogStatusInput in;
  in.bundlePath = bundlePath;
  in.bootSession = ProcessInfo::bootSession();
  in.now = std::chrono::system_clock::now();
  in.uptime = systemUptime().count();
  if (std::optional<BundleInfo> info = systemBundleReader().open(bundlePath)) {
    in.bundleIdentifier = info->identifier;
  }
  const WatchdogDataRoot root = WatchdogDataRoot::choose(dataFolderFacts(bundlePath));
  if (!in.bundleIdentifier || !WatchdogFiles::isUsableBundleIdentifier(*in.bundleIdentifier) ||
      !root.directory) {
    return in;
  }

  const WatchdogFiles files =
      WatchdogFiles::forBundle(*root.directory, *in.bundleIdentifier, bundlePath);
  in.dataFolder = files.directory().string();
  in.record = readStatusFile<HostRunRecord>(files.hostRecordPath());
  in.hangNote = readStatusFile<HostHangNote>(files.hangNotePath());
  in.ledger = readStatusFile<WatchdogLedger>(files.ledgerPath());
  in.hangReport =
      readStatusFile<WatchdogHangReport>(files.hangReportPath(), WatchdogStore::kMaxReportSize);
  if (in.record.value) {
    RealSystemProbes probes;
    in.recordProcessAlive = HostLiveness::isAlive(probes, *in.record.value);
    in.recordProcessTraced = ProcessInfo::isTraced(in.record.value->pid);
  }
  return in;
}

}  // namespace

int main(int argc, char** argv) {
  bool asJson = false;
  std::optional<std::string> bundle;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      asJson = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg.starts_with("-") || bundle) {
      std::cerr << kUsage;
      return 2;
    } else {
      bundle = arg;
    }
  }
  if (!bundle) {
    // A copy inside a bundle reports on that bundle.
    if (std::optional<std::string> own = ProcessInfo::executablePath(getpid())) {
      bundle = WatchdogFiles::hostBundlePath(*own);
    }
  }
  if (!bundle) {
    std::cerr << kUsage;
    return 2;
  }

  // The watchdog knows its bundle by the path of its running executable, in
  // which the system has resolved every link.
  const WatchdogStatusInput input = gather(WatchdogFiles::resolved(*bundle));
  nlohmann::json report = WatchdogStatusReport::build(input);
  report["registration"] =
      WatchdogRegistrationReport::build(WatchdogRegistration::status(input.bundlePath));
  if (asJson) {
    std::cout << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << WatchdogStatusReport::renderText(report)
              << WatchdogRegistrationReport::renderText(report["registration"]);
  }
  return input.dataFolder ? 0 : 1;
}
