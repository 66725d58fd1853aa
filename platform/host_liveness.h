#ifndef VELDANE_PLATFORM_HOST_LIVENESS_H_
#define VELDANE_PLATFORM_HOST_LIVENESS_H_

#include "platform/system_probes.h"
#include "state/host_run_record.h"

namespace veldane {

// Whether the run that a record describes is alive: the one test of it, for
// the watchdog and the status tool alike.
namespace HostLiveness {

// True when the record's pid runs this user's copy of the recorded program:
// at the recorded path as this platform compares paths, or from a bundle
// moved aside by an update since it started. `watched` says that the exit
// watch holds the very process that was found to be this user's, which
// spares a steady tick the second look.
bool isAlive(SystemProbes& probes, const HostRunRecord& record, bool watched = false);

}  // namespace HostLiveness
}  // namespace veldane

#endif  // VELDANE_PLATFORM_HOST_LIVENESS_H_
