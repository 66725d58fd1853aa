#ifndef VELDANE_PLATFORM_UPTIME_CLOCK_H_
#define VELDANE_PLATFORM_UPTIME_CLOCK_H_

#include "state/seconds.h"

namespace veldane {

// The time since boot on the clock that the host's heartbeat and the
// watchdog's hang test share. It does not advance while the machine sleeps,
// so a sleep never makes a healthy host look hung. In a time namespace it
// reads as that namespace's clock; the host library takes its offset off.
Seconds systemUptime();

}  // namespace veldane

#endif  // VELDANE_PLATFORM_UPTIME_CLOCK_H_
