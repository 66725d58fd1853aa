#include "host/host_location.h"

#include "host/host_namespace_view.h"

#include "platform/application_support.h"
#include "platform/bundle_reader.h"
#include "platform/process_info.h"

namespace veldane {

std::optional<HostLocation> HostLocation::find(const internal::HostStartOptions& options,
                                               int32_t pid, std::string& failure) {
  std::optional<std::string> executable = ProcessInfo::executablePath(pid);
  if (!executable) {
    failure = "the path of the running executable is unknown";
    return std::nullopt;
  }
  HostLocation location;
  location.executablePath = WatchdogFiles::normalized(*executable);

  std::optional<std::string> bundle = options.bundlePath
                                          ? WatchdogFiles::resolved(*options.bundlePath)
                                          : WatchdogFiles::hostBundlePath(*executable);
  if (!bundle) {
    failure = "not inside an .app bundle: " + location.executablePath;
    return std::nullopt;
  }
  location.bundlePath = *bundle;

  // The watchdog takes the identifier from the same Info.plist, so the two
  // agree on the folder unless the application overrides it.
  if (options.bundleIdentifier && !options.bundleIdentifier->empty()) {
    location.bundleIdentifier = *options.bundleIdentifier;
  } else {
    std::optional<BundleInfo> info = systemBundleReader().open(location.bundlePath);
    if (!info || !info->identifier) {
      failure = "no CFBundleIdentifier in " + location.bundlePath + "/Contents/Info.plist";
      return std::nullopt;
    }
    location.bundleIdentifier = *info->identifier;
  }
  // The watchdog idles with such an identifier: no folder is shared with it.
  if (!WatchdogFiles::isUsableBundleIdentifier(location.bundleIdentifier)) {
    failure = "the bundle identifier \"" + location.bundleIdentifier +
              "\" cannot name a folder (empty, \".\", \"..\", or with \"/\" or NUL)";
    return std::nullopt;
  }

  // Refused where the watchdog would look elsewhere, as inside the App Sandbox
  // without an app group: a record nobody reads would only hide that.
  const WatchdogDataRoot root = WatchdogDataRoot::choose(dataFolderFacts(location.bundlePath));
  if (!root.directory) {
    failure = root.failure;
    return std::nullopt;
  }
  location.files =
      WatchdogFiles::forBundle(*root.directory, location.bundleIdentifier, location.bundlePath);
  return location;
}

std::optional<std::string> HostLocation::bundleOf(const char* given, std::string& failure) {
  if (given != nullptr) return WatchdogFiles::resolved(given);
  const std::optional<HostNamespaceView> view = HostNamespaceView::find(failure);
  if (!view) return std::nullopt;
  std::optional<std::string> executable = ProcessInfo::executablePath(view->pid);
  if (!executable) {
    failure = "the path of the running executable is unknown";
    return std::nullopt;
  }
  std::optional<std::string> bundle = WatchdogFiles::hostBundlePath(*executable);
  if (!bundle) failure = "not inside an .app bundle: " + WatchdogFiles::normalized(*executable);
  return bundle;
}

}  // namespace veldane
