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
//   if (!view->innerMount) record.pid = view->pid;
//   record.heartbeatUptime = systemUptime().count() - view->uptimeOffset;
struct HostNamespaceView {
  // As the pid namespace of the /proc mount sees it: the initial one's pid,
  // unless `innerMount` says otherwise.
  int32_t pid = 0;
  // Seconds that this process's systemUptime() runs ahead of the watchdog's.
  double uptimeOffset = 0;
  // Why `pid` is not the initial namespace's, when /proc is known to be
  // mounted from a namespace inside it. Only a watchdog in that namespace
  // sees this process by it.
  std::optional<std::string> innerMount;

  // Absent, with the reason in `failure`, when the pid or the offset cannot
  // be learned.
  static std::optional<HostNamespaceView> find(std::string& failure);

  friend bool operator==(const HostNamespaceView&, const HostNamespaceView&) = default;
};

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_NAMESPACE_VIEW_H_
