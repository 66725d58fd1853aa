#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

extern char** environ;

namespace veldane {
namespace ProcessLauncher {
namespace {

// Both processes below are forks of a process that has other threads: until
// the exec they call only async-signal-safe functions, on what was prepared
// before the fork.
struct Launch {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  bool setOpenFiles = false;
  rlimit openFiles{};
};

void markInheritedDescriptorsCloseOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: mark a generous range one by one.
  for (int fd = 3; fd < 65536; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Tells the launching process why the program did not start.
[[noreturn]] void fail(int report, int error) {
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

[[noreturn]] void execProgram(const Launch& launch, int report) {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  if (setsid() < 0) fail(report, errno);

  int devNull = open("/dev/null", O_RDWR | O_NOCTTY);
  if (devNull < 0) fail(report, errno);
  for (int stream = 0; stream < 3; ++stream) {
    if (devNull != stream && dup2(devNull, stream) < 0) fail(report, errno);
  }
  if (devNull > 2) close(devNull);
  markInheritedDescriptorsCloseOnExec();
  if (launch.setOpenFiles) setrlimit(RLIMIT_NOFILE, &launch.openFiles);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(launch.path, launch.argv, launch.envp);
  fail(report, errno);
}

// The intermediate: it waits until the launching process lets it go (having
// placed it, say, in a scope of its own, which the program then inherits),
// starts the program and leaves, so that the program is nobody's child but
// the reaper's.
[[noreturn]] void startProgramAndLeave(const Launch& launch, int release, int report) {
  char ignored = 0;
  while (read(release, &ignored, 1) < 0 && errno == EINTR) {
  }
  const pid_t program = fork();
  if (program == 0) execProgram(launch, report);
  if (program < 0) fail(report, errno);
  _exit(0);
}

std::string failure(const std::string& executable, int error) {
  return executable + ": " + std::generic_category().message(error);
}

}  // namespace

std::optional<std::string> launchDetached(const std::string& executable,
                                          const std::vector<std::string>& arguments,
                                          std::optional<rlim_t> openFiles,
                                          const std::function<void(pid_t)>& whileHeld) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  Launch launch;
  launch.path = argv[0];
  launch.argv = argv.data();
  launch.envp = environ;
  if (openFiles && getrlimit(RLIMIT_NOFILE, &launch.openFiles) == 0) {
    launch.openFiles.rlim_cur = std::min(*openFiles, launch.openFiles.rlim_max);
    launch.setOpenFiles = true;
  }

  // The intermediate waits for `release` to close; `report` stays silent
  // until both have gone, unless something failed.
  int release[2];
  int report[2];
  if (pipe2(release, O_CLOEXEC) != 0) return failure(executable, errno);
  if (pipe2(report, O_CLOEXEC) != 0) {
    const int error = errno;
    close(release[0]);
    close(release[1]);
    return failure(executable, error);
  }

  // With every signal blocked, no handler of the caller runs in the forks
  // before their dispositions are reset.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t intermediate = fork();
  if (intermediate == 0) {
    close(release[1]);
    close(report[0]);
    startProgramAndLeave(launch, release[0], report[1]);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(release[0]);
  close(report[1]);
  if (intermediate > 0 && whileHeld) whileHeld(intermediate);
  close(release[1]);

  int error = intermediate < 0 ? forkError : 0;
  if (intermediate > 0) {
    int reported = 0;
    ssize_t got;
    while ((got = read(report[0], &reported, sizeof reported)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof reported)) error = reported;
    while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  close(report[0]);
  if (error == 0) return std::nullopt;
  return failure(executable, error);
}

}  // namespace ProcessLauncher
}  // namespace veldane
