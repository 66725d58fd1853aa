#include "platform/application_support.h"

#include "platform/macos/sdk_declarations.h"

namespace veldane {

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

}  // namespace veldane
