#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>

extern char** environ;

namespace veldane {
namespace ProcessLauncher {
namespace {

// Everything below runs between fork and exec: async-signal-safe calls only.

[[noreturn]] void reportAndExit(int errorPipe, int error) {
  const char* bytes = reinterpret_cast<const char*>(&error);
  size_t left = sizeof(error);
  while (left > 0) {
    ssize_t put = write(errorPipe, bytes, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    bytes += put;
    left -= static_cast<size_t>(put);
  }
  _exit(127);
}

void markInheritedDescriptorsCloseOnExec(int keep) {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: mark a generous range one by one.
  for (int fd = 3; fd < 65536; ++fd) {
    if (fd != keep) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

[[noreturn]] void execGrandchild(const char* path, char* const* argv, char* const* envp,
                                 int errorPipe) {
  if (errorPipe < 3) {
    // The caller ran with a standard stream closed; move the pipe out of the way.
    int moved = fcntl(errorPipe, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) reportAndExit(errorPipe, errno);
    errorPipe = moved;
  }
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
  if (setsid() < 0) reportAndExit(errorPipe, errno);

  int devNull = open("/dev/null", O_RDWR | O_NOCTTY);
  if (devNull < 0) reportAndExit(errorPipe, errno);
  for (int stream = 0; stream < 3; ++stream) {
    if (devNull != stream && dup2(devNull, stream) < 0) reportAndExit(errorPipe, errno);
  }
  if (devNull > 2) close(devNull);
  markInheritedDescriptorsCloseOnExec(errorPipe);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(path, argv, envp);
  reportAndExit(errorPipe, errno);
}

}  // namespace

std::optional<std::string> launchDetached(const std::string& executable,
                                          const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  char* const* envp = environ;

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    return executable + ": " + std::generic_category().message(errno);
  }

  // With every signal blocked, no handler of the caller can run in the
  // children before their dispositions are reset.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t intermediate = fork();
  if (intermediate == 0) {
    close(pipeFds[0]);
    pid_t grandchild = fork();
    if (grandchild == 0) execGrandchild(argv[0], argv.data(), envp, pipeFds[1]);
    if (grandchild < 0) reportAndExit(pipeFds[1], errno);
    _exit(0);
  }
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(pipeFds[1]);

  if (intermediate < 0) {
    close(pipeFds[0]);
    return executable + ": " + std::generic_category().message(forkError);
  }
  while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }

  // End of file without a word: the exec closed the pipe, so the program runs.
  int childError = 0;
  size_t received = 0;
  while (received < sizeof(childError)) {
    ssize_t got = read(pipeFds[0], reinterpret_cast<char*>(&childError) + received,
                       sizeof(childError) - received);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received += static_cast<size_t>(got);
  }
  close(pipeFds[0]);
  if (received == 0) return std::nullopt;
  if (received < sizeof(childError)) return executable + ": could not be started";
  return executable + ": " + std::generic_category().message(childError);
}

}  // namespace ProcessLauncher
}  // namespace veldane
