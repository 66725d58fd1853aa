#include "platform/uptime_clock.h"

#include <time.h>

namespace veldane {

// The clock of mach_absolute_time, which systemUptime reports: it stands
// still while the machine sleeps.
Seconds systemUptime() {
  return Seconds(static_cast<double>(clock_gettime_nsec_np(CLOCK_UPTIME_RAW)) / 1e9);
}

}  // namespace veldane
