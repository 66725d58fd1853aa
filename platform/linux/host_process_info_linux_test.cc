#include "platform/host_process_info.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

namespace fs = std::filesystem;

void endChild(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Starts `program` with `argument` and returns once the exec has happened:
// the close-on-exec pipe reaches end of file.
pid_t startProgram(const std::string& program, const char* argument) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  char byte;
  while (::read(ready[0], &byte, 1) > 0) {
  }
  ::close(ready[0]);
  return pid;
}

pid_t reapedPid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(HostProcessInfo, ExecutablePathOfOwnProcess) {
  EXPECT_EQ(HostProcessInfo::executablePath(::getpid()), fs::canonical("/proc/self/exe").string());
}

TEST(HostProcessInfo, NoPathWithoutLiveProcess) {
  EXPECT_EQ(HostProcessInfo::executablePath(0), std::nullopt);
  EXPECT_EQ(HostProcessInfo::executablePath(-5), std::nullopt);
  EXPECT_EQ(HostProcessInfo::executablePath(reapedPid()), std::nullopt);
}

TEST(HostProcessInfo, ReplacedProgramKeepsItsPath) {
  char pattern[] = "/tmp/probes-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  struct Case {
    const char* name;
    void (*change)(const fs::path&);
    const char* reported;
  };
  const Case cases[] = {
      {"unlinked", [](const fs::path& p) { fs::remove(p); }, "unlinked"},
      {"renamed over",
       [](const fs::path& p) {
         std::ofstream(p.string() + ".new") << "new";
         fs::rename(p.string() + ".new", p);
       },
       "renamed over"},
      {"kept (deleted)", [](const fs::path&) {}, "kept (deleted)"},
      {"bad\xFFname", [](const fs::path&) {}, "bad\uFFFDname"},
  };
  for (const Case& c : cases) {
    const fs::path program = dir / c.name;
    ASSERT_TRUE(fs::copy_file("/bin/sleep", program));
    const pid_t pid = startProgram(program, "60");
    ASSERT_GT(pid, 0);
    c.change(program);
    EXPECT_EQ(HostProcessInfo::executablePath(pid), (dir / c.reported).string()) << c.reported;
    endChild(pid);
  }
  fs::remove_all(dir);
}

TEST(HostProcessInfo, TracedWhileTracerAttached) {
  EXPECT_FALSE(HostProcessInfo::isTraced(::getpid()));
  EXPECT_FALSE(HostProcessInfo::isTraced(0));
  EXPECT_FALSE(HostProcessInfo::isTraced(reapedPid()));

  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  ASSERT_GT(child, 0);
  EXPECT_FALSE(HostProcessInfo::isTraced(child));
  EXPECT_EQ(::ptrace(PTRACE_SEIZE, child, nullptr, nullptr), 0);
  EXPECT_TRUE(HostProcessInfo::isTraced(child));
  endChild(child);
}

TEST(HostProcessInfo, BootSessionIsStable) {
  const std::string session = HostProcessInfo::bootSession();
  EXPECT_NE(session, "unknown");
  EXPECT_EQ(session.find('\n'), std::string::npos);
  EXPECT_EQ(HostProcessInfo::bootSession(), session);
}

}  // namespace
}  // namespace veldane
