#ifndef VELDANE_PLATFORM_WATCHDOG_PLATFORM_H_
#define VELDANE_PLATFORM_WATCHDOG_PLATFORM_H_

#include "platform/bundle_reader.h"
#include "platform/hang_inspector.h"
#include "platform/log_channel.h"
#include "platform/main_loop.h"
#include "platform/system_probes.h"
#include "platform/workspace.h"

namespace veldane {

// Everything the supervisor needs of the operating system. The parts are
// borrowed and must outlive the supervisor.
struct WatchdogPlatform {
  MainLoop& loop;            // weak
  SystemProbes& probes;      // weak
  Workspace& workspace;      // weak
  BundleReader& bundles;     // weak
  LogChannel& log;           // weak
  HangInspector& hangs;      // weak
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_WATCHDOG_PLATFORM_H_
