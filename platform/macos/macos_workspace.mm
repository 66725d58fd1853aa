#include "platform/macos/macos_workspace.h"

#include <dispatch/dispatch.h>

#include <optional>
#include <utility>

#include "platform/macos/process_table.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/process_info.h"

namespace veldane {
namespace {

NSString* toNSString(const std::string& text) {
  return [NSString stringWithUTF8String:text.c_str()];
}

std::optional<std::string> toString(NSString* text) {
  const char* bytes = text.UTF8String;
  if (bytes == nullptr) return std::nullopt;
  return std::string(bytes);
}

}  // namespace

std::vector<RunningApplication> MacosWorkspace::runningApplications(
    const std::string& bundleIdentifier) {
  std::vector<RunningApplication> found;
  @autoreleasepool {
    NSString* identifier = toNSString(bundleIdentifier);
    if (identifier == nil) return found;
    NSArray<NSRunningApplication*>* applications =
        [NSRunningApplication runningApplicationsWithBundleIdentifier:identifier];
    for (NSUInteger i = 0; i < applications.count; ++i) {
      NSRunningApplication* application = [applications objectAtIndex:i];
      NSURL* bundleURL = application.bundleURL;
      const int32_t pid = application.processIdentifier;
      const std::optional<ProcessTable::Process> process = ProcessTable::describe(pid);
      found.push_back({.pid = pid,
                       .terminated = static_cast<bool>(application.terminated),
                       .bundlePath = bundleURL != nil ? toString(bundleURL.path) : std::nullopt,
                       .processGroup = process ? process->processGroup : 0,
                       .session = process ? process->session : 0,
                       .startUptime = ProcessInfo::startUptime(pid)});
    }
  }
  return found;
}

void MacosWorkspace::openApplication(const std::string& bundlePath,
                                     const std::vector<std::string>& arguments,
                                     OpenCompletion completion) {
  @autoreleasepool {
    NSString* path = toNSString(bundlePath);
    NSMutableArray<NSString*>* list = [NSMutableArray arrayWithCapacity:arguments.size()];
    for (const std::string& argument : arguments) {
      NSString* text = toNSString(argument);
      if (text != nil) [list addObject:text];
    }
    if (path == nil || list.count != arguments.size()) {
      dispatch_async(dispatch_get_main_queue(), ^{
        completion(bundlePath + ": the path or an argument is not valid UTF-8");
      });
      return;
    }

    NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
    configuration.activates = NO;
    configuration.addsToRecentItems = NO;
    configuration.createsNewApplicationInstance = NO;
    configuration.promptsUserIfNeeded = NO;
    configuration.arguments = list;
    [NSWorkspace.sharedWorkspace
        openApplicationAtURL:[NSURL fileURLWithPath:path isDirectory:YES]
               configuration:configuration
           completionHandler:^(NSRunningApplication*, NSError* error) {
             std::optional<std::string> description;
             if (error != nil) {
               description = toString(error.localizedDescription).value_or("unknown error");
             }
             dispatch_async(dispatch_get_main_queue(), ^{
               completion(description);
             });
           }];
  }
}

}  // namespace veldane
