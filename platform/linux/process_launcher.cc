#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <system_error>

extern char** environ;

namespace veldane {
namespace ProcessLauncher {
namespace {

// Neither process below copies the caller's memory, as a fork would (which
// costs milliseconds here, and the relaunch waits for it): each shares it,
// and its parent stays suspended until it has exec'd or exited. So they may
// only call async-signal-safe functions and must not return. They run on
// stacks of their own, which the sanitizer's bookkeeping of the caller's
// stack would take for a corrupted one.
#define VELDANE_SHARES_CALLER_MEMORY __attribute__((no_sanitize_address))

struct Launch {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  char* programStack = nullptr;
  bool setOpenFiles = false;
  rlimit openFiles{};
  int error = 0;
};

VELDANE_SHARES_CALLER_MEMORY void markInheritedDescriptorsCloseOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: mark a generous range one by one.
  for (int fd = 3; fd < 65536; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

[[noreturn]] VELDANE_SHARES_CALLER_MEMORY void fail(Launch& launch, int error) {
  launch.error = error;
  _exit(127);
}

VELDANE_SHARES_CALLER_MEMORY int execProgram(void* data) {
  Launch& launch = *static_cast<Launch*>(data);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  if (setsid() < 0) fail(launch, errno);

  int devNull = open("/dev/null", O_RDWR | O_NOCTTY);
  if (devNull < 0) fail(launch, errno);
  for (int stream = 0; stream < 3; ++stream) {
    if (devNull != stream && dup2(devNull, stream) < 0) fail(launch, errno);
  }
  if (devNull > 2) close(devNull);
  markInheritedDescriptorsCloseOnExec();
  if (launch.setOpenFiles) setrlimit(RLIMIT_NOFILE, &launch.openFiles);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(launch.path, launch.argv, launch.envp);
  fail(launch, errno);
}

// The intermediate: once it has gone, the program is nobody's child but the
// reaper's.
VELDANE_SHARES_CALLER_MEMORY int startProgramAndLeave(void* data) {
  Launch& launch = *static_cast<Launch*>(data);
  if (clone(execProgram, launch.programStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &launch) < 0) {
    launch.error = errno;
  }
  _exit(0);
}

}  // namespace

std::optional<std::string> launchDetached(const std::string& executable,
                                          const std::vector<std::string>& arguments,
                                          std::optional<rlim_t> openFiles) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  constexpr size_t kStackSize = 32 * 1024;
  void* stacks = mmap(nullptr, 2 * kStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stacks == MAP_FAILED) return executable + ": " + std::generic_category().message(errno);
  Launch launch;
  launch.path = argv[0];
  launch.argv = argv.data();
  launch.envp = environ;
  launch.programStack = static_cast<char*>(stacks) + kStackSize;  // grows down to `stacks`
  if (openFiles && getrlimit(RLIMIT_NOFILE, &launch.openFiles) == 0) {
    launch.openFiles.rlim_cur = std::min(*openFiles, launch.openFiles.rlim_max);
    launch.setOpenFiles = true;
  }

  // With every signal blocked, no handler of the caller can run in the
  // processes that share its memory, before their dispositions are reset.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t intermediate =
      clone(startProgramAndLeave, static_cast<char*>(stacks) + 2 * kStackSize,
            CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
  if (intermediate < 0) launch.error = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (intermediate > 0) {
    // It has exited by now (CLONE_VFORK); this only reaps it.
    while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  munmap(stacks, 2 * kStackSize);
  if (launch.error == 0) return std::nullopt;
  return executable + ": " + std::generic_category().message(launch.error);
}

}  // namespace ProcessLauncher
}  // namespace veldane
