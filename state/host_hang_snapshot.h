#ifndef VELDANE_STATE_HOST_HANG_SNAPSHOT_H_
#define VELDANE_STATE_HOST_HANG_SNAPSHOT_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veldane {

// What the system tells of one thread of a host that is about to be ended.
struct HostThreadSnapshot {
  // The kernel's thread id: a pid on Linux, a 64-bit id of its own on macOS.
  int64_t tid = 0;
  std::string name;
  // "running", "sleeping", "uninterruptible", "stopped", "traced", "zombie",
  // "idle" or "unknown".
  std::string state;
  // The kernel function the thread waits in; absent while it runs or where
  // the system does not tell.
  std::optional<std::string> wchan;
  // User and system CPU time since the thread started.
  double cpuSeconds = 0;
  // CPU time since the early sample; absent without one.
  std::optional<double> cpuSinceSample;
  // Innermost frame first, "function (file:line)" where debug information
  // says so; empty where none could be read.
  std::vector<std::string> kernelStack;
  std::vector<std::string> stack;

  friend bool operator==(const HostThreadSnapshot&, const HostThreadSnapshot&) = default;
};

// The threads of a host, the main thread first, and whether their user-space
// stacks could be read.
struct HostHangSnapshot {
  std::vector<HostThreadSnapshot> threads;
  // "unwound", or why there are no stacks ("not permitted to attach: ...").
  std::string stacks;

  friend bool operator==(const HostHangSnapshot&, const HostHangSnapshot&) = default;
};

// CPU seconds per thread id, taken cheaply before a hang is certain.
using HostCpuSample = std::map<int64_t, double>;

}  // namespace veldane

#endif  // VELDANE_STATE_HOST_HANG_SNAPSHOT_H_
