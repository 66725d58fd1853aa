#ifndef VELDANE_VELDANEWATCHDOG_EARLY_CPU_SAMPLE_H_
#define VELDANE_VELDANEWATCHDOG_EARLY_CPU_SAMPLE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/hang_inspector.h"
#include "state/host_run_record.h"
#include "state/seconds.h"

namespace veldane {

// The CPU times of a host whose heartbeat is more than half its limit old,
// taken once per silence, so that the diagnosis of a hang can tell a
// spinning thread from a blocked one by what each used since.
//
//   sample.follow(record, stalled, limit, uptime, inspector);  // every tick
//   if (auto taken = sample.takeFor(pid)) { ... taken->sample ... }
class EarlyCpuSample {
 public:
  struct Taken {
    int32_t pid = 0;
    std::string launchID;
    Seconds at{0};  // uptime
    HostCpuSample sample;
  };

  // Keeps in step with a live host that may hang: drops the sample when the
  // host beats again (a later silence gets one of its own), and takes one at
  // the first look past half the limit. Past the limit the host is judged
  // hung now, and a sample would measure nothing.
  void follow(const HostRunRecord& record, Seconds stalled, Seconds limit, Seconds uptime,
              HangInspector& inspector);
  // Drops the sample: no host, or none that is judged.
  void reset() { taken_.reset(); }
  // The sample of process `pid`, handed over once; absent when there is none.
  std::optional<Taken> takeFor(int32_t pid);

  const std::optional<Taken>& taken() const { return taken_; }

 private:
  std::optional<Taken> taken_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_EARLY_CPU_SAMPLE_H_
