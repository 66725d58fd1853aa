#include "host/process_activity.h"

#include "platform/macos/sdk_declarations.h"

namespace veldane {
namespace {

// NSProcessInfo's activity: a user-initiated one keeps the process out of App
// Nap, whose timer throttling and priority reduction would otherwise delay a
// background host's heartbeats; latency-critical asks for timers on time.
class NapFreeActivity final : public ProcessActivity {
 public:
  explicit NapFreeActivity(id<NSObject> token) : token_(token) {}
  ~NapFreeActivity() override {
    @autoreleasepool {
      [NSProcessInfo.processInfo endActivity:token_];
    }
  }
  NapFreeActivity(const NapFreeActivity&) = delete;
  NapFreeActivity& operator=(const NapFreeActivity&) = delete;

 private:
  id<NSObject> token_;
};

}  // namespace

std::unique_ptr<ProcessActivity> beginLatencyCriticalActivity(const char* reason) {
  @autoreleasepool {
    NSString* text = [NSString stringWithUTF8String:reason];
    if (text == nil) return nullptr;
    id<NSObject> token = [NSProcessInfo.processInfo
        beginActivityWithOptions:NSActivityUserInitiated | NSActivityLatencyCritical
                          reason:text];
    if (token == nil) return nullptr;
    return std::make_unique<NapFreeActivity>(token);
  }
}

}  // namespace veldane
