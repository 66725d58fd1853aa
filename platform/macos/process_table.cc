#include "platform/macos/process_table.h"

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <unistd.h>

namespace veldane::ProcessTable {

std::vector<int32_t> allPids() {
  // The table may grow between the two calls: room for some more.
  const int count = proc_listallpids(nullptr, 0);
  if (count < 1) return {};
  std::vector<pid_t> pids(static_cast<size_t>(count) + 64);
  const int filled =
      proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
  if (filled < 1) return {};
  pids.resize(static_cast<size_t>(filled));
  return std::vector<int32_t>(pids.begin(), pids.end());
}

std::optional<Process> describe(int32_t pid) {
  if (pid < 1) return std::nullopt;
  proc_bsdinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) !=
      static_cast<int>(sizeof info)) {
    return std::nullopt;
  }
  const pid_t session = getsid(pid);
  return Process{.realUid = info.pbi_ruid,
                 .zombie = info.pbi_status == SZOMB,
                 .processGroup = static_cast<int32_t>(info.pbi_pgid),
                 .session = session > 0 ? static_cast<int32_t>(session) : 0};
}

}  // namespace veldane::ProcessTable
