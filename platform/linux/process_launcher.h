#ifndef VELDANE_PLATFORM_LINUX_PROCESS_LAUNCHER_H_
#define VELDANE_PLATFORM_LINUX_PROCESS_LAUNCHER_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veldane {

// Starting programs the way a desktop launcher does.
namespace ProcessLauncher {

// Starts `executable` with `arguments` in the background: in a session of its
// own, not a child of the caller, with the caller's environment, standard
// streams on /dev/null, no other inherited descriptor, default signal
// dispositions and an empty signal mask. Returns once the program has been
// executed (nothing) or has failed to start (a readable error text). Blocks
// only until the exec. With `openFiles`, the program starts with that
// soft limit of open files rather than the caller's. With `whileHeld`, that
// is called with the pid of the process that is about to start the program
// and waits for it: what that process is given (a cgroup, a scope), the
// program inherits.
std::optional<std::string> launchDetached(const std::string& executable,
                                          const std::vector<std::string>& arguments,
                                          std::optional<rlim_t> openFiles = std::nullopt,
                                          const std::function<void(pid_t)>& whileHeld = nullptr);

}  // namespace ProcessLauncher
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROCESS_LAUNCHER_H_
