#ifndef VELDANE_HOST_HOST_NAMESPACE_VIEW_H_
#define VELDANE_HOST_HOST_NAMESPACE_VIEW_H_

#include <cstdint>
#include <optional>
#include <string>

namespace veldane {

// This process as the watchdog, in the initial namespaces, sees it. A host
// in a pid namespace has another pid out there, and one in a time namespace
// an uptime clock that runs ahead (or behind) by a fixed offset; both are
// fixed for the life of the process, as it can enter no other.
//
//   std::optional<HostNamespaceView> view = HostNamespaceView::find(failure);
//   record.pid = view->pid;
//   record.heartbeatUptime = systemUptime() - view->uptimeOffset;
struct HostNamespaceView {
  int32_t pid = 0;
  // Seconds that this process's systemUptime() runs ahead of the watchdog's.
  double uptimeOffset = 0;

  // Absent, with the reason in `failure`, when the pid or the offset cannot
  // be learned: a pid namespace whose /proc is mounted from inside it (or
  // from any but the initial one) shows none of the outer pids.
  static std::optional<HostNamespaceView> find(std::string& failure);

  friend bool operator==(const HostNamespaceView&, const HostNamespaceView&) = default;
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_NAMESPACE_VIEW_H_
