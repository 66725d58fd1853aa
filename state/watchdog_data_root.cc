#include "state/watchdog_data_root.h"

#include "state/watchdog_files.h"

namespace veldane {
namespace {

WatchdogDataRoot refused(std::string failure) { return {std::nullopt, std::move(failure)}; }

bool isAbsolute(const std::optional<std::string>& path) { return path && path->starts_with('/'); }

}  // namespace

WatchdogDataRoot WatchdogDataRoot::choose(const WatchdogDataFacts& facts) {
  if (facts.appGroup) {
    const std::string& group = *facts.appGroup;
    // The group names a folder in ~/Library/Group Containers.
    if (!WatchdogFiles::isUsableBundleIdentifier(group)) {
      return refused("the app group \"" + group + "\" (" + kAppGroupKey +
                     ") cannot name a folder (empty, \".\", \"..\", or with \"/\" or NUL)");
    }
    if (!isAbsolute(facts.groupContainer)) {
      return refused("no usable container for the app group \"" + group +
                     "\": it must be in the com.apple.security.application-groups entitlement "
                     "of the application and of its watchdog");
    }
    return {WatchdogFiles::normalized(*facts.groupContainer + "/Library/Application Support"), {}};
  }
  if (facts.sandboxed) {
    return refused(std::string("sandboxed without an app group (") + kAppGroupKey +
                   " in Info.plist): the watchdog cannot read this application's container");
  }
  if (!isAbsolute(facts.applicationSupport)) {
    return refused("no per-user data folder (neither XDG_DATA_HOME nor a home folder)");
  }
  return {facts.applicationSupport, {}};
}

bool WatchdogDataRoot::looksSandboxed(const char* containerIDVariable, std::string_view home,
                                      std::string_view accountHome) {
  if (containerIDVariable != nullptr && containerIDVariable[0] != '\0') return true;
  if (accountHome.empty() || home.empty()) return false;
  std::string containers = WatchdogFiles::normalized(accountHome);
  if (containers == "/") containers.clear();
  containers += "/Library/Containers/";
  const std::string inside = WatchdogFiles::normalized(home);
  return inside.size() > containers.size() && inside.starts_with(containers);
}

}  // namespace veldane
