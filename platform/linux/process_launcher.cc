#include "platform/linux/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

extern char** environ;

namespace veldane {
namespace ProcessLauncher {
namespace {

// What the intermediate needs, all prepared before the fork: it is a fork of
// a process with other threads, so until it ends it calls only functions
// that take no lock (posix_spawn among them, which allocates nothing here).
struct Launch {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  posix_spawnattr_t attributes{};
  posix_spawn_file_actions_t actions{};
  bool setOpenFiles = false;
  rlimit openFiles{};
};

void markInheritedDescriptorsCloseOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: mark a generous range one by one.
  for (int fd = 3; fd < 65536; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The intermediate: it waits until the launching process lets it go (having
// placed it, say, in a scope of its own, which the program then inherits),
// starts the program and leaves, so that the program is nobody's child but
// the reaper's. Only a failure is reported.
[[noreturn]] void startProgramAndLeave(Launch& launch, int release, int report) {
  char ignored = 0;
  while (read(release, &ignored, 1) < 0 && errno == EINTR) {
  }
  // Its own descriptors, inherited by the program unless closed at the exec.
  markInheritedDescriptorsCloseOnExec();
  if (launch.setOpenFiles) setrlimit(RLIMIT_NOFILE, &launch.openFiles);
  pid_t program = 0;
  const int error = posix_spawn(&program, launch.path, &launch.actions, &launch.attributes,
                                launch.argv, launch.envp);
  if (error != 0) (void)!write(report, &error, sizeof error);
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
  // A session of its own, every signal at its default and none blocked, and
  // the standard streams on /dev/null.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_init(&launch.attributes);
  posix_spawnattr_setflags(&launch.attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setsigmask(&launch.attributes, &none);
  // sigfillset leaves out the two signals that glibc keeps for itself, and
  // its posix_spawn sets what it is not asked to reset of those to ignored,
  // which the exec keeps: a set of every bit asks for them too.
  sigset_t every;
  std::memset(&every, 0xff, sizeof every);
  posix_spawnattr_setsigdefault(&launch.attributes, &every);
  posix_spawn_file_actions_init(&launch.actions);
  posix_spawn_file_actions_addopen(&launch.actions, 0, "/dev/null", O_RDWR | O_NOCTTY, 0);
  posix_spawn_file_actions_adddup2(&launch.actions, 0, 1);
  posix_spawn_file_actions_adddup2(&launch.actions, 0, 2);

  // The intermediate waits for `release` to close; `report` stays silent
  // until it has gone, unless the program could not start.
  int release[2] = {-1, -1};
  int report[2] = {-1, -1};
  int error = 0;
  if (pipe2(release, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) error = errno;

  pid_t intermediate = -1;
  if (error == 0) {
    // With every signal blocked, no handler of the caller runs in the fork.
    sigset_t previous;
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    intermediate = fork();
    if (intermediate == 0) {
      close(release[1]);
      close(report[0]);
      startProgramAndLeave(launch, release[0], report[1]);
    }
    if (intermediate < 0) error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  for (int fd : {release[0], report[1]}) {
    if (fd >= 0) close(fd);
  }
  if (intermediate > 0 && whileHeld) whileHeld(intermediate);
  if (release[1] >= 0) close(release[1]);
  if (intermediate > 0) {
    int reported = 0;
    ssize_t got;
    while ((got = read(report[0], &reported, sizeof reported)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof reported)) error = reported;
    while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (report[0] >= 0) close(report[0]);
  posix_spawn_file_actions_destroy(&launch.actions);
  posix_spawnattr_destroy(&launch.attributes);
  if (error == 0) return std::nullopt;
  return failure(executable, error);
}

}  // namespace ProcessLauncher
}  // namespace veldane
