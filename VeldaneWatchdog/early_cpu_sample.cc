#include "VeldaneWatchdog/early_cpu_sample.h"

#include <utility>

namespace veldane {

void EarlyCpuSample::follow(const HostRunRecord& record, Seconds stalled, Seconds limit,
                            Seconds uptime, HangInspector& inspector) {
  if (record.cleanExit || !(stalled > limit / 2)) {
    taken_.reset();
    return;
  }
  if (stalled > limit) return;
  if (taken_ && taken_->pid == record.pid && taken_->launchID == record.launchID) return;
  taken_ = Taken{record.pid, record.launchID, uptime, inspector.sampleCpu(record.pid)};
}

std::optional<EarlyCpuSample::Taken> EarlyCpuSample::takeFor(int32_t pid) {
  std::optional<Taken> taken;
  if (taken_ && taken_->pid == pid) taken = std::move(taken_);
  taken_.reset();
  return taken;
}

}  // namespace veldane
