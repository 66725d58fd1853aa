// The part of the workspace that needs no AppKit: processes by their program.
#include <unistd.h>

#include "platform/macos/macos_workspace.h"
#include "platform/macos/process_table.h"
#include "platform/process_info.h"
#include "state/unicode_text.h"
#include "state/watchdog_files.h"

namespace veldane {

std::vector<RunningApplication> MacosWorkspace::processesRunning(
    const std::string& executablePath) {
  std::vector<RunningApplication> found;
  const uid_t ourUid = getuid();
  const int32_t ownPid = static_cast<int32_t>(getpid());
  for (int32_t pid : ProcessTable::allPids()) {
    if (pid == ownPid) continue;
    const std::optional<std::string> path = ProcessInfo::executablePath(pid);
    // Names that the system keeps decomposed still compare equal.
    if (!path || !UnicodeText::equal(WatchdogFiles::normalized(*path), executablePath)) continue;
    std::optional<ProcessTable::Process> process = ProcessTable::describe(pid);
    if (!process || process->realUid != ourUid) continue;
    found.push_back({.pid = pid,
                     .terminated = process->zombie,
                     .bundlePath = std::nullopt,
                     .processGroup = process->processGroup,
                     .session = process->session,
                     .startUptime = ProcessInfo::startUptime(pid)});
  }
  return found;
}

}  // namespace veldane
