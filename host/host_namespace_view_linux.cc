#include "host/host_namespace_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "host/proc_self_namespaces.h"
#include "state/scoped_fd.h"

namespace veldane {
namespace {

// The kernel's fixed inode number of the initial pid namespace
// (PROC_PID_INIT_INO).
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;

// A small /proc text; absent with errno set when it cannot be read.
std::optional<std::string> readProcText(const char* path) {
  ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  const int error = errno;
  fd.reset();
  if (got < 0) {
    errno = error;
    return std::nullopt;
  }
  return text;
}

// The pid in the namespace of the /proc mount, and why that is not the
// initial one where it is known not to be.
struct MountPid {
  int32_t pid = 0;
  std::optional<std::string> innerMount;
};

std::optional<MountPid> mountPid(std::string& failure) {
  const auto own = static_cast<int32_t>(getpid());
  struct stat namespaceFile {};
  const bool knowsOwnNamespace = ::stat("/proc/self/ns/pid", &namespaceFile) == 0;
  if (knowsOwnNamespace && namespaceFile.st_ino == kInitialPidNamespace) return MountPid{own, {}};

  const std::optional<std::string> status = readProcText("/proc/self/status");
  if (!status) {
    failure = std::string("cannot read /proc/self/status: ") + std::strerror(errno);
    return std::nullopt;
  }
  const std::vector<int32_t> pids = parseNamespacePids(*status);
  if (pids.empty() || pids.back() != own) {
    failure = "in a pid namespace, and /proc/self/status shows no NSpid of this process";
    return std::nullopt;
  }
  // One level means a /proc of the process's own namespace, unless the
  // kernel has no namespace links at all.
  if (pids.size() == 1) {
    if (!knowsOwnNamespace) return MountPid{own, {}};
    return MountPid{own, "in a pid namespace whose /proc is mounted from inside it: the pid "
                         "outside is unknown"};
  }
  // Several levels, from the namespace of the /proc mount down; the one of
  // its pid 1 tells which, where this process may look at it. The system's
  // init usually cannot be looked at, and an unreadable one counts as it.
  struct stat mountInit {};
  if (::stat("/proc/1/ns/pid", &mountInit) == 0 && mountInit.st_ino != kInitialPidNamespace) {
    return MountPid{pids.front(), "in a pid namespace whose /proc is mounted from a namespace "
                                  "inside the initial one"};
  }
  return MountPid{pids.front(), {}};
}

std::optional<double> monotonicOffset(std::string& failure) {
  const std::optional<std::string> offsets = readProcText("/proc/self/timens_offsets");
  if (!offsets) {
    // A kernel without time namespaces.
    if (errno == ENOENT) return 0.0;
    failure = std::string("cannot read /proc/self/timens_offsets: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::optional<double> offset = parseMonotonicOffset(*offsets);
  if (!offset) failure = "/proc/self/timens_offsets holds no monotonic offset";
  return offset;
}

}  // namespace

std::optional<HostNamespaceView> HostNamespaceView::find(std::string& failure) {
  std::optional<MountPid> pid = mountPid(failure);
  if (!pid) return std::nullopt;
  const std::optional<double> offset = monotonicOffset(failure);
  if (!offset) return std::nullopt;
  return HostNamespaceView{pid->pid, *offset, std::move(pid->innerMount)};
}

}  // namespace veldane
