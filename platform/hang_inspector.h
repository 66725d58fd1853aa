#ifndef VELDANE_PLATFORM_HANG_INSPECTOR_H_
#define VELDANE_PLATFORM_HANG_INSPECTOR_H_

#include <cstdint>
#include <functional>

#include "state/host_hang_snapshot.h"
#include "state/seconds.h"

namespace veldane {

// Evidence of what a hung host was doing, gathered before it is ended. Each
// system gives what it can: thread states and CPU times at least, stacks
// where the watchdog may read another process's memory. Called on the main
// thread only.
//
//   HostCpuSample early = inspector.sampleCpu(pid);  // once the host is suspected
//   inspector.snapshot(pid, Seconds{0.5}, [](HangInspector::Gathered gathered) {
//     /* signal the process */ HostHangSnapshot snapshot = gathered();
//   });
class HangInspector {
 public:
  // What a snapshot gathered, put into shape only when called: the caller
  // signals the process first, so that the shaping costs the host nothing.
  // May be called once, at any time later; an empty one gathered nothing.
  using Gathered = std::function<HostHangSnapshot()>;
  using Completion = std::function<void(Gathered)>;

  virtual ~HangInspector() = default;

  // The CPU time of every thread of `pid`: cheap, no stacks. Empty when the
  // process cannot be read.
  virtual HostCpuSample sampleCpu(int32_t pid) = 0;

  // Calls `done` once, within `budget`, either before returning or
  // later on the main loop, with what gives the threads of `pid`, their
  // states, CPU times and whatever stacks the system lets it read. Leaves the
  // process as it found it: nothing attached, nothing stopped. The caller does
  // not wait beyond the budget; a `done` that comes later is ignored.
  virtual void snapshot(int32_t pid, Seconds budget, Completion done) = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_HANG_INSPECTOR_H_
