#ifndef VELDANE_PLATFORM_LINUX_SESSION_END_NOTICE_LINUX_H_
#define VELDANE_PLATFORM_LINUX_SESSION_END_NOTICE_LINUX_H_

#include <memory>

#include "platform/main_loop.h"

struct sd_bus;
struct sd_event;

namespace veldane {

// logind's PrepareForShutdown on the system bus (DBUS_SYSTEM_BUS_ADDRESS, or
// the usual socket), and this user's state as sd-login gives it: "active" or
// "online" turning to "closing", "lingering" or "offline" is a logout, and
// turning back a logout called off. Both are events on `event`. `bus` is the
// loop's connection to the system bus, opened here on first use when there
// is a system bus, and then the caller's to close.
std::unique_ptr<MainLoop::Subscription> observeSessionEnd(sd_event* event, sd_bus*& bus,
                                                          MainLoop::SessionEndCallback onNotice);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_SESSION_END_NOTICE_LINUX_H_
