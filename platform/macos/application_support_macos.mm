#include "platform/application_support.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/macos/cf_ref.h"
#include "platform/macos/sdk_declarations.h"
#include "state/watchdog_files.h"
#include "text/cf_text.h"

namespace veldane {
namespace {

// The account's own home from the user database: inside the App Sandbox
// NSHomeDirectory() and $HOME name the app's container instead.
std::string accountHome() {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
             ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr || found->pw_dir == nullptr) return {};
  return found->pw_dir;
}

std::string homeDirectory() {
  @autoreleasepool {
    const char* home = NSHomeDirectory().UTF8String;
    return home != nullptr ? home : "";
  }
}

// The bundle's app group as its Info.plist names it; absent without one or
// when the value is no string.
std::optional<std::string> appGroupOf(const std::string& bundlePath) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bundlePath.data()),
      static_cast<CFIndex>(bundlePath.size()), true));
  if (!url) return std::nullopt;
  CFRef<CFBundleRef> bundle(CFBundleCreate(kCFAllocatorDefault, url.get()));
  const std::string_view name = WatchdogDataRoot::kAppGroupKey;
  CFRef<CFStringRef> key(CFStringCreateWithBytes(kCFAllocatorDefault,
                                                 reinterpret_cast<const UInt8*>(name.data()),
                                                 static_cast<CFIndex>(name.size()),
                                                 kCFStringEncodingUTF8, false));
  if (!bundle || !key) return std::nullopt;
  return utf8String(CFBundleGetValueForInfoDictionaryKey(bundle.get(), key.get()));
}

// On macOS the file manager gives a URL of the expected form even for a group
// that this process has no entitlement for, so the container counts only
// once it exists and this process may enter it: inside the sandbox an
// unentitled group's folder cannot be made or entered.
std::optional<std::string> usableGroupContainer(const std::string& group) {
  std::string path;
  @autoreleasepool {
    NSString* identifier = [NSString stringWithUTF8String:group.c_str()];
    if (identifier == nil) return std::nullopt;
    NSURL* container =
        [NSFileManager.defaultManager containerURLForSecurityApplicationGroupIdentifier:identifier];
    const char* text = container.path.UTF8String;
    if (text == nullptr || text[0] != '/') return std::nullopt;
    path = text;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (::access(path.c_str(), R_OK | W_OK | X_OK) != 0) return std::nullopt;
  return path;
}

}  // namespace

// NSFileManager's application-support folder of the user domain, which it
// does not create.
std::optional<std::string> applicationSupportDirectory() {
  @autoreleasepool {
    NSArray<NSURL*>* folders = [NSFileManager.defaultManager URLsForDirectory:NSApplicationSupportDirectory
                                                                    inDomains:NSUserDomainMask];
    if (folders.count == 0) return std::nullopt;
    const char* path = [folders objectAtIndex:0].path.UTF8String;
    if (path == nullptr || path[0] != '/') return std::nullopt;
    return std::string(path);
  }
}

WatchdogDataFacts dataFolderFacts(const std::string& bundlePath) {
  WatchdogDataFacts facts;
  facts.applicationSupport = applicationSupportDirectory();
  facts.sandboxed = WatchdogDataRoot::looksSandboxed(std::getenv("APP_SANDBOX_CONTAINER_ID"),
                                                     homeDirectory(), accountHome());
  facts.appGroup = appGroupOf(bundlePath);
  if (facts.appGroup && WatchdogFiles::isUsableBundleIdentifier(*facts.appGroup)) {
    facts.groupContainer = usableGroupContainer(*facts.appGroup);
  }
  return facts;
}

}  // namespace veldane
