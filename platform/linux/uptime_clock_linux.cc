#include "platform/uptime_clock.h"

#include <time.h>

namespace veldane {

// CLOCK_MONOTONIC stands still during suspend, unlike CLOCK_BOOTTIME.
Seconds systemUptime() {
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return Seconds::zero();
  return Seconds(static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9);
}

}  // namespace veldane
