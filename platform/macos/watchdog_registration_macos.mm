// The watchdog as the application's launch agent, registered through
// SMAppService (macOS 13 and later). The agent's property list travels in
// the bundle (packaging/launchd/bundle-agent.plist.in); launchd runs
// Contents/MacOS/VeldaneWatchdog from wherever the bundle lies.
#include "platform/watchdog_registration.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/bundle_reader.h"
#include "platform/macos/process_table.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/process_info.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

constexpr char kOlderSystem[] =
    "macOS 13 or later is needed to register the watchdog (SMAppService); on macOS 11 and 12 "
    "install its launch agent by hand (see the README)";

WatchdogRegistrationResult failed(std::string why) { return {false, std::move(why)}; }

std::string text(NSString* value) {
  const char* bytes = value.UTF8String;
  return bytes ? bytes : "";
}

// The agent's property list name, or why this process cannot register the
// bundle's: SMAppService knows only the calling application's own bundle.
std::optional<std::string> agentName(const std::string& bundlePath, std::string& failure) {
  const std::string own = WatchdogFiles::resolved(text(NSBundle.mainBundle.bundlePath));
  if (own != bundlePath) {
    failure = "only the application itself can register its watchdog on macOS: this process "
              "belongs to " + own + ", not " + bundlePath;
    return std::nullopt;
  }
  const std::optional<BundleInfo> info = systemBundleReader().open(bundlePath);
  if (!info || !info->identifier) {
    failure = "no CFBundleIdentifier in " + bundlePath + "/Contents/Info.plist";
    return std::nullopt;
  }
  const std::string name = *info->identifier + ".watchdog.plist";
  if (access((bundlePath + "/Contents/Library/LaunchAgents/" + name).c_str(), R_OK) != 0) {
    failure = "the bundle carries no Contents/Library/LaunchAgents/" + name +
              " (packaging/launchd puts it there)";
    return std::nullopt;
  }
  return name;
}

VELDANE_AVAILABLE_MACOS(13.0) const char* statusWords(SMAppServiceStatus status) {
  switch (status) {
    case SMAppServiceStatusNotRegistered: return "not registered";
    case SMAppServiceStatusEnabled: return "enabled";
    case SMAppServiceStatusRequiresApproval: return "requires approval";
    case SMAppServiceStatusNotFound: return "not found";
  }
  return "unknown";
}

constexpr char kApproval[] =
    "the user must approve the watchdog in System Settings > General > Login Items "
    "(veldane_open_login_items_settings opens it)";

// Whether a process of this user runs the bundle's watchdog.
std::optional<bool> watchdogRuns(const std::string& bundlePath) {
  const std::string watchdog = bundlePath + "/Contents/MacOS/VeldaneWatchdog";
  const std::vector<int32_t> pids = ProcessTable::allPids();
  if (pids.empty()) return std::nullopt;
  for (int32_t pid : pids) {
    const std::optional<std::string> path = ProcessInfo::executablePath(pid);
    if (path && WatchdogFiles::normalized(*path) == watchdog &&
        ProcessInfo::isCurrentUsersProcess(pid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

WatchdogRegistrationResult WatchdogRegistration::enable(const std::string& bundlePath) {
  std::string failure;
  const std::optional<std::string> name = agentName(bundlePath, failure);
  if (!name) return failed(failure);
  if (@available(macOS 13.0, *)) {
    @autoreleasepool {
      SMAppService* service =
          [SMAppService agentServiceWithPlistName:[NSString stringWithUTF8String:name->c_str()]];
      if (service == nil) return failed("ServiceManagement did not load");
      // Registered already: nothing to do, and a second register would fail.
      if (service.status == SMAppServiceStatusEnabled) return {true, ""};
      NSError* error = nil;
      const BOOL registered = [service registerAndReturnError:&error];
      const SMAppServiceStatus status = service.status;
      if (status == SMAppServiceStatusRequiresApproval) return failed(kApproval);
      if (!registered) {
        return failed("cannot register the launch agent " + *name + ": " +
                      (error ? text(error.localizedDescription) : std::string("no reason given")));
      }
      if (status != SMAppServiceStatusEnabled) {
        return failed("registered, but the launch agent " + *name + " is " + statusWords(status));
      }
      return {true, ""};
    }
  }
  return failed(kOlderSystem);
}

WatchdogRegistrationResult WatchdogRegistration::disable(const std::string& bundlePath) {
  std::string failure;
  const std::optional<std::string> name = agentName(bundlePath, failure);
  if (!name) return failed(failure);
  if (@available(macOS 13.0, *)) {
    @autoreleasepool {
      SMAppService* service =
          [SMAppService agentServiceWithPlistName:[NSString stringWithUTF8String:name->c_str()]];
      if (service == nil) return failed("ServiceManagement did not load");
      const SMAppServiceStatus before = service.status;
      if (before == SMAppServiceStatusNotRegistered || before == SMAppServiceStatusNotFound) {
        return {true, ""};
      }
      NSError* error = nil;
      if (![service unregisterAndReturnError:&error]) {
        return failed("cannot unregister the launch agent " + *name + ": " +
                      (error ? text(error.localizedDescription) : std::string("no reason given")));
      }
      return {true, ""};
    }
  }
  // Nothing registers on these systems, so nothing is left to undo.
  return {true, ""};
}

WatchdogRegistrationStatus WatchdogRegistration::status(const std::string& bundlePath) {
  WatchdogRegistrationStatus result;
  result.running = watchdogRuns(bundlePath);
  const std::optional<std::string> name = agentName(bundlePath, result.why);
  if (!name) return result;
  result.job = *name;
  if (@available(macOS 13.0, *)) {
    @autoreleasepool {
      SMAppService* service =
          [SMAppService agentServiceWithPlistName:[NSString stringWithUTF8String:name->c_str()]];
      if (service == nil) {
        result.why = "ServiceManagement did not load";
        return result;
      }
      const SMAppServiceStatus status = service.status;
      result.why.clear();
      result.registered = status == SMAppServiceStatusEnabled;
      result.state = std::string("launch agent ") + statusWords(status);
      return result;
    }
  }
  result.why = kOlderSystem;
  return result;
}

WatchdogRegistrationResult WatchdogRegistration::openApprovalSettings() {
  if (@available(macOS 13.0, *)) {
    [SMAppService openSystemSettingsLoginItems];
    return {true, ""};
  }
  return failed(kOlderSystem);
}

}  // namespace veldane
