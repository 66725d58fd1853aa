#ifndef VELDANE_HOST_PROC_SELF_NAMESPACES_H_
#define VELDANE_HOST_PROC_SELF_NAMESPACES_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace veldane {

// Decoders of the two /proc texts that tell how outer namespaces see a
// process; reading them is the caller's.
//
//   std::vector<int32_t> pids = parseNamespacePids(statusText);
//   // {4711, 1}: 4711 in the /proc mount's namespace, 1 in its own.

// The values of the "NSpid:" line of /proc/<pid>/status: the pid in the pid
// namespace that the /proc mount belongs to first, the one in the process's
// own namespace last. Empty when the line is missing or holds anything but
// positive pids.
std::vector<int32_t> parseNamespacePids(std::string_view status);

// The "monotonic" offset of /proc/<pid>/timens_offsets in seconds: how far
// CLOCK_MONOTONIC in the process's time namespace runs ahead of the initial
// one's. Absent when there is no well-formed monotonic line.
std::optional<double> parseMonotonicOffset(std::string_view offsets);

}  // namespace veldane

#endif  // VELDANE_HOST_PROC_SELF_NAMESPACES_H_
