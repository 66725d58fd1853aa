#include "platform/macos/power_off_notice.h"

#include <utility>

#include "platform/macos/sdk_declarations.h"

namespace veldane {
namespace {

class WorkspaceObserver final : public MainLoop::Subscription {
 public:
  explicit WorkspaceObserver(id<NSObject> token) : token_(token) {}
  ~WorkspaceObserver() override {
    @autoreleasepool {
      [NSWorkspace.sharedWorkspace.notificationCenter removeObserver:token_];
    }
  }
  WorkspaceObserver(const WorkspaceObserver&) = delete;
  WorkspaceObserver& operator=(const WorkspaceObserver&) = delete;

 private:
  id<NSObject> token_;
};

}  // namespace

std::unique_ptr<MainLoop::Subscription> observeWorkspacePowerOff(MainLoop::Callback onPowerOff) {
  @autoreleasepool {
    // The workspace's center, not the process's default one, which never
    // carries this notification.
    id<NSObject> token = [NSWorkspace.sharedWorkspace.notificationCenter
        addObserverForName:NSWorkspaceWillPowerOffNotification
                    object:nil
                     queue:NSOperationQueue.mainQueue
                usingBlock:^(NSNotification*) {
                  if (onPowerOff) onPowerOff();
                }];
    return std::make_unique<WorkspaceObserver>(token);
  }
}

}  // namespace veldane
