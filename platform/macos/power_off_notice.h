#ifndef VELDANE_PLATFORM_MACOS_POWER_OFF_NOTICE_H_
#define VELDANE_PLATFORM_MACOS_POWER_OFF_NOTICE_H_

#include <memory>

#include "platform/main_loop.h"

namespace veldane {

// Calls `onPowerOff` on the main thread when NSWorkspace's own notification
// center posts NSWorkspaceWillPowerOffNotification; the subscription removes
// the observer.
std::unique_ptr<MainLoop::Subscription> observeWorkspacePowerOff(MainLoop::Callback onPowerOff);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_POWER_OFF_NOTICE_H_
