#include "platform/linux/linux_main_loop.h"

#include <gmock/gmock.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>


namespace veldane {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds, std::chrono::steady_clock;

TEST(LinuxMainLoop, TimersFireOnceAndNotEarlyWhenMovedOrRearmedAndPostedWorkRunsOnTheLoop) {
  LinuxMainLoop loop;
  // Each timer fires once and never before its deadline, counted from when it
  // was armed. A loop that wakes late finds several due at once and may run
  // them in any order, so the order is not asserted.
  std::vector<int> fired;
  auto record = [&](int delayMs) {
    const auto due = steady_clock::now() + milliseconds(delayMs);
    return [&, delayMs, due] {
      fired.push_back(delayMs);
      EXPECT_GE(steady_clock::now(), due) << delayMs;
    };
  };
  auto late = loop.oneShotTimer(30ms, 0ms, record(30));
  auto early = loop.oneShotTimer(10ms, 0ms, record(10));
  auto cancelled = loop.oneShotTimer(20ms, 0ms, record(20));
  loop.runAfter(15ms, record(15));
  cancelled.reset();
  steady_clock::time_point movedDue;
  auto moved = loop.oneShotTimer(1ms, 0ms, [&] {
    fired.push_back(40);
    EXPECT_GE(steady_clock::now(), movedDue);
  });
  movedDue = steady_clock::now() + milliseconds(40);
  ASSERT_TRUE(moved->reschedule(40ms, 0ms));
  int turns = 0;
  std::unique_ptr<MainLoop::Timer> own = loop.oneShotTimer(2ms, 0ms, [&] {
    if (++turns < 3) {
      ASSERT_TRUE(own->reschedule(2ms, 0ms));
    } else {
      own.reset();
    }
  });
  std::unique_ptr<MainLoop::Timer> end;
  end = loop.oneShotTimer(60ms, 0ms, [&] {
    if (fired.size() < 4 || turns < 3) {
      ASSERT_TRUE(end->reschedule(10ms, 0ms));
    } else {
      loop.quit(0);
    }
  });
  const auto loopThread = std::this_thread::get_id();
  int posted = 0;
  std::thread([&] {
    for (int i = 0; i < 100; ++i) {
      loop.post([&] { posted += std::this_thread::get_id() == loopThread; });
    }
  }).join();
  EXPECT_EQ(loop.run(), 0);
  EXPECT_THAT(fired, ::testing::UnorderedElementsAre(10, 15, 30, 40));
  EXPECT_EQ(turns, 3);
  EXPECT_EQ(posted, 100);
}

TEST(LinuxMainLoop, WatchSignalsAndFiresOnceWhenAProcessEndsOrHasEndedButNotWhenReaped) {
  LinuxMainLoop loop;
  EXPECT_EQ(loop.watchProcessExit(0, [] {}), nullptr);
  const pid_t living = fork();
  if (living == 0) {
    for (;;) pause();
  }
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT), 0);
  std::vector<pid_t> exits;
  auto watchLiving = loop.watchProcessExit(living, [&] {
    exits.push_back(living);
    loop.runAfter(20ms, [&] { loop.quit(0); });  // room for a second, wrong report
  });
  auto watchEnded = loop.watchProcessExit(ended, [&] { exits.push_back(ended); });
  bool sent = false;
  loop.runAfter(5ms, [&] { sent = watchLiving->sendSignal(SIGKILL); });
  auto guard = loop.oneShotTimer(5s, 0ms, [&] { loop.quit(1); });  // should nothing come
  EXPECT_EQ(loop.run(), 0);
  if (!sent) kill(living, SIGKILL);
  EXPECT_TRUE(sent);
  EXPECT_EQ(exits, (std::vector<pid_t>{ended, living}));
  int status = -1;
  waitpid(living, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  waitpid(ended, nullptr, 0);
  EXPECT_EQ(loop.watchProcessExit(ended, [] {}), nullptr);
}

// An orphan whose parent has ended, handed to the subreaper that is calling:
// one that ends at once, or after `lifeMs`. Its pid.
pid_t orphan(int lifeMs) {
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) return -1;
  const pid_t parent = fork();
  if (parent == 0) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (lifeMs > 0) usleep(static_cast<useconds_t>(lifeMs) * 1000);
      _exit(0);
    }
    (void)!write(pipe[1], &pid, sizeof pid);
    _exit(0);
  }
  close(pipe[1]);
  pid_t pid = -1;
  if (read(pipe[0], &pid, sizeof pid) != sizeof pid) pid = -1;
  close(pipe[0]);
  waitpid(parent, nullptr, 0);
  return pid;
}

// A zombie is still a process to kill(pid, 0); a reaped one is not.
bool reaped(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// In a process of its own: reaping takes every child, and SIGCHLD blocked.
TEST(LinuxMainLoop, ASubreapersLoopReapsTheOrphansHandedToItAlsoThoseEndedBefore) {
  const pid_t test = fork();
  if (test == 0) {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) _exit(10);
    const pid_t before = orphan(0);
    siginfo_t info{};
    if (before < 0 || waitid(P_PID, static_cast<id_t>(before), &info, WEXITED | WNOWAIT) != 0) {
      _exit(11);
    }
    LinuxMainLoop loop;
    if (!loop.reapOrphans() || !loop.reapOrphans()) _exit(12);
    if (!reaped(before)) _exit(13);
    const pid_t later = orphan(20);
    if (later < 0) _exit(14);
    int waited = 0;
    std::unique_ptr<MainLoop::Timer> check;
    check = loop.oneShotTimer(10ms, 0ms, [&] {
      if (reaped(later) || ++waited > 200) {
        loop.quit(0);
      } else {
        check->reschedule(10ms, 0ms);
      }
    });
    loop.run();
    _exit(reaped(later) ? 0 : 15);
  }
  ASSERT_GT(test, 0);
  int status = -1;
  ASSERT_EQ(waitpid(test, &status, 0), test);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

using Notice = MainLoop::SessionEndNotice;
using Kind = Notice::Kind;

TEST(LinuxMainLoop, SessionEndObserverReportsAShutdownAndItsCancellation) {
  // A bus of its own stands in for the system bus.
  FILE* daemon =
      popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
  char address[256] = "";
  pid_t daemonPid = 0;
  ASSERT_EQ(fscanf(daemon, "%255s %d", address, &daemonPid), 2);
  pclose(daemon);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
  LinuxMainLoop loop;
  std::vector<Notice> notices;
  auto subscription = loop.observeSessionEnd([&](Notice notice) {
    notices.push_back(notice);
    if (notices.size() == 2) loop.quit(0);
  });
  // The announcer owns login's name on the stand-in bus, as logind would.
  sd_bus* login = nullptr;
  EXPECT_GE(sd_bus_open_system(&login), 0);
  EXPECT_GE(sd_bus_request_name(login, "org.freedesktop.login1", 0), 0);
  for (const int starting : {1, 0}) {
    sd_bus_emit_signal(login, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                       "PrepareForShutdown", "b", starting);
  }
  sd_bus_flush(login);
  auto guard = loop.oneShotTimer(5s, 0ms, [&] { loop.quit(1); });  // should nothing come
  EXPECT_EQ(loop.run(), 0);
  EXPECT_EQ(notices, (std::vector<Notice>{{Kind::powerOff, true}, {Kind::powerOffCancelled, true}}));
  sd_bus_flush_close_unref(login);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  kill(daemonPid, SIGTERM);
}

// What logind keeps of this user, written as it writes it: whole, by a rename.
bool writeUserState(const std::string& state) {
  const std::string path = "/run/systemd/users/" + std::to_string(getuid());
  FILE* file = fopen((path + ".new").c_str(), "w");
  if (file == nullptr) return false;
  fprintf(file, "STATE=%s\n", state.c_str());
  return fclose(file) == 0 && rename((path + ".new").c_str(), path.c_str()) == 0;
}

// In a child with a mount namespace of its own, where a tmpfs stands in for
// logind's folder of users: 0 when the loop saw the logout and the new
// session, 77 when the stand-in could not be set up.
int logoutSeenInStandInFolder() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run/systemd/users", "tmpfs", 0, nullptr) != 0 ||
      !writeUserState("active")) {
    return 77;
  }
  LinuxMainLoop loop;
  std::vector<Notice> notices;
  auto subscription = loop.observeSessionEnd([&](Notice notice) {
    notices.push_back(notice);
    if (notice.kind == Kind::logout) writeUserState("active");  // logged in again
    if (notice.kind == Kind::logoutCancelled) loop.quit(0);
  });
  loop.runAfter(10ms, [] { writeUserState("closing"); });
  auto guard = loop.oneShotTimer(5s, 0ms, [&] { loop.quit(1); });  // should nothing come
  const int status = loop.run();
  const bool seen =
      notices == std::vector<Notice>{{Kind::logout, true}, {Kind::logoutCancelled, true}};
  return status == 0 && seen ? 0 : 1;
}

TEST(LinuxMainLoop, SessionEndObserverReportsTheUserLeavingEverySessionAndComingBack) {
  if (access("/run/systemd/users", F_OK) != 0) GTEST_SKIP() << "no /run/systemd/users";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(logoutSeenInStandInFolder());
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace veldane
