#include "platform/process_info.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/uptime_clock.h"
#include "state/test_support.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

void endChild(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(ProcessInfo, RunsAsCurrentUserOnlyWithBothUserIDsOursAndNothingIsKnownOnceEnded) {
  EXPECT_TRUE(ProcessInfo::isCurrentUsersProcess(::getpid()));
  // Another user's process, and one whose effective user alone is another.
  for (const bool realToo : {true, false}) {
    const pid_t other = ::fork();
    if (other == 0) {
      if ((realToo ? ::setuid(65534) : ::seteuid(65534)) == 0) ::raise(SIGSTOP);
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(other, &status, WUNTRACED);
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_FALSE(ProcessInfo::isCurrentUsersProcess(other)) << realToo;
    endChild(other);
    EXPECT_EQ(ProcessInfo::executablePath(other), std::nullopt);
    EXPECT_FALSE(ProcessInfo::isTraced(other));
  }
}

TEST(ProcessInfo, AThreadIdIsNoProcessThoughProcAnswersForIt) {
  std::atomic<pid_t> tid = 0;
  std::atomic<bool> done = false;
  std::thread thread([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    while (!done) ::usleep(1000);
  });
  while (tid == 0) ::usleep(1000);
  EXPECT_TRUE(ProcessInfo::executablePath(tid));
  EXPECT_FALSE(ProcessInfo::isCurrentUsersProcess(tid));
  done = true;
  thread.join();
}

TEST(ProcessInfo, StartUptimeIsWhenTheProcessStartedOnTheUptimeClock) {
  const Seconds before = systemUptime();
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const Seconds after = systemUptime();
  const std::optional<Seconds> started = ProcessInfo::startUptime(child);
  ASSERT_TRUE(started);
  // Counted in ticks of 10 ms, cut down.
  EXPECT_GE(*started, before - Seconds{0.011});
  EXPECT_LE(*started, after);
  endChild(child);
  EXPECT_EQ(ProcessInfo::startUptime(child), std::nullopt);
}

TEST(ProcessInfo, ExecutablePathNamesTheProgramAsStarted) {
  // Alive in a worker thread after its main thread has ended.
  const pid_t workerOnly = ::fork();
  if (workerOnly == 0) {
    std::thread([] { ::pause(); }).detach();
    // pthread_exit without its unwinding, which the test framework would catch.
    ::syscall(SYS_exit, 0);
  }
  const std::string mainLink = "/proc/" + std::to_string(workerOnly) + "/exe";
  std::error_code gone;
  for (int i = 0; i < 200 && !fs::read_symlink(mainLink, gone).empty(); ++i) ::usleep(10'000);
  EXPECT_TRUE(fs::read_symlink(mainLink, gone).empty());
  EXPECT_EQ(ProcessInfo::executablePath(workerOnly), fs::canonical("/proc/self/exe"));
  endChild(workerOnly);

  const TestFolder dir;
  const struct {
    const char* name;
    void (*change)(const fs::path&);
    const char* reported;
  } cases[] = {
      {"unlinked", [](const fs::path& p) { fs::remove(p); }, "unlinked"},
      {"renamed over",
       [](const fs::path& p) {
         std::ofstream(p.string() + ".new") << "new";
         fs::rename(p.string() + ".new", p);
       },
       "renamed over"},
      // The suffix is part of this file's real name.
      {"kept (deleted)", [](const fs::path&) {}, "kept (deleted)"},
      {"bad\xFFname", [](const fs::path&) {}, "bad\uFFFDname"},
  };
  for (const auto& c : cases) {
    std::string program = dir.path / c.name;
    ASSERT_TRUE(fs::copy_file("/bin/sleep", program));
    char* const argv[] = {program.data(), const_cast<char*>("60"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
    c.change(program);
    EXPECT_EQ(ProcessInfo::executablePath(pid), (dir.path / c.reported).string()) << c.reported;
    endChild(pid);
  }
}

}  // namespace
}  // namespace veldane
