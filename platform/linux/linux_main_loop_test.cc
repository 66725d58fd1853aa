#include "platform/linux/linux_main_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace veldane {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Ends `loop.run()` with status 1 should the awaited event never come.
std::unique_ptr<MainLoop::Timer> failAfterSeconds(LinuxMainLoop& loop, double seconds) {
  return loop.oneShotTimer(seconds, 0, [&loop] { loop.quit(1); });
}

// A child that lives until the returned pipe end is closed.
pid_t forkWaitingChild(int* release) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[1]);
    char byte;
    while (read(pipeEnds[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(pipeEnds[0]);
  *release = pipeEnds[1];
  return child;
}

int reap(pid_t pid) {
  int status = -1;
  waitpid(pid, &status, 0);
  return status;
}

TEST(LinuxMainLoop, TimersFireInOrderNeverCancelledAndOnceWhenMovedOrRearmed) {
  LinuxMainLoop loop;
  const auto start = steady_clock::now();
  std::vector<int> fired;
  auto record = [&](int delayMs) {
    return [&, delayMs] {
      fired.push_back(delayMs);
      EXPECT_GE(steady_clock::now() - start, milliseconds(delayMs));
    };
  };
  auto late = loop.oneShotTimer(0.030, 0, record(30));
  auto early = loop.oneShotTimer(0.010, 0, record(10));
  auto cancelled = loop.oneShotTimer(0.020, 0, record(20));
  loop.runAfter(0.015, record(15));
  cancelled.reset();
  // Moved later before it fired: it fires once, at the later time.
  auto moved = loop.oneShotTimer(0.001, 0, record(40));
  ASSERT_TRUE(moved->reschedule(0.040, 0));
  // A callback re-arms its own timer twice, then drops it.
  std::unique_ptr<MainLoop::Timer> own;
  int turns = 0;
  own = loop.oneShotTimer(0.002, 0, [&] {
    if (++turns < 3) {
      ASSERT_TRUE(own->reschedule(0.002, 0));
    } else {
      own.reset();
    }
  });
  auto end = loop.oneShotTimer(0.060, 0, [&] { loop.quit(0); });

  EXPECT_EQ(loop.run(), 0);
  EXPECT_EQ(fired, (std::vector<int>{10, 15, 30, 40}));
  EXPECT_EQ(turns, 3);
}

TEST(LinuxMainLoop, PostHandsWorkToTheLoopThreadFromAnother) {
  LinuxMainLoop loop;
  const auto loopThread = std::this_thread::get_id();
  constexpr int kItems = 100;
  int done = 0;
  bool allOnLoopThread = true;
  std::thread worker([&] {
    for (int i = 0; i < kItems; ++i) {
      loop.post([&] {
        allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
        if (++done == kItems) loop.quit(0);
      });
    }
  });
  auto guard = failAfterSeconds(loop, 5);

  EXPECT_EQ(loop.run(), 0);
  worker.join();
  EXPECT_EQ(done, kItems);
  EXPECT_TRUE(allOnLoopThread);
}

TEST(LinuxMainLoop, SendSignalEndsAWatchedProcessThatIsNotAChild) {
  int pidPipe[2];
  ASSERT_EQ(pipe(pidPipe), 0);
  std::fflush(nullptr);
  // The keeper owns the grandchild and tells how it ended.
  const pid_t keeper = fork();
  if (keeper == 0) {
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      for (;;) pause();
    }
    if (write(pidPipe[1], &grandchild, sizeof grandchild) < 0) _exit(2);
    int status = 0;
    waitpid(grandchild, &status, 0);
    _exit(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 1);
  }
  close(pidPipe[1]);
  pid_t grandchild = 0;
  ASSERT_EQ(read(pidPipe[0], &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  close(pidPipe[0]);

  LinuxMainLoop loop;
  int exits = 0;
  auto watch = loop.watchProcessExit(grandchild, [&] {
    ++exits;
    loop.quit(0);
  });
  const bool sent = watch != nullptr && watch->sendSignal(SIGKILL);
  if (!sent) kill(grandchild, SIGKILL);
  EXPECT_TRUE(sent);
  if (sent) {
    auto guard = failAfterSeconds(loop, 5);
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(exits, 1);
  }
  EXPECT_EQ(reap(keeper), 0);
}

// A watch fires once: when a child ends, or at once for an ended but
// unreaped one; a reaped one cannot be watched.
TEST(LinuxMainLoop, WatchFiresOnceWhenAChildEndsOrHasEnded) {
  LinuxMainLoop loop;
  EXPECT_EQ(loop.watchProcessExit(0, [] {}), nullptr);
  EXPECT_EQ(loop.watchProcessExit(-1, [] {}), nullptr);
  int release = -1;
  const pid_t living = forkWaitingChild(&release);
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT), 0);
  std::vector<pid_t> exits;
  auto watchLiving = loop.watchProcessExit(living, [&] {
    exits.push_back(living);
    loop.runAfter(0.020, [&] { loop.quit(0); });  // room for a second, wrong report
  });
  auto watchEnded = loop.watchProcessExit(ended, [&] { exits.push_back(ended); });
  loop.runAfter(0.005, [&] { close(release); });
  auto guard = failAfterSeconds(loop, 5);
  EXPECT_EQ(loop.run(), 0);
  EXPECT_EQ(exits, (std::vector<pid_t>{ended, living}));
  EXPECT_EQ(reap(living), 0);
  reap(ended);
  EXPECT_EQ(loop.watchProcessExit(ended, [] {}), nullptr);
}

TEST(LinuxMainLoop, SigtermEndsTheProcessWithStatusZero) {
  enum { idle, timerPending, blockedInARead };
  for (const int state : {idle, timerPending, blockedInARead}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      LinuxMainLoop loop;
      if (!loop.exitOnSigterm()) _exit(5);
      auto timer = state == timerPending ? loop.oneShotTimer(60, 1, [] { _exit(3); }) : nullptr;
      if (write(ready[1], "r", 1) != 1) _exit(2);
      // As on a file system that stopped answering: no data ever comes.
      int stall[2];
      char never;
      if (state == blockedInARead && (pipe(stall) != 0 || read(stall[0], &never, 1) >= 0)) _exit(6);
      loop.run();
      _exit(4);
    }
    close(ready[1]);
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGTERM);
    int status = -1;
    for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    if (status == -1 && kill(child, SIGKILL) == 0) status = reap(child);
    close(ready[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "state " << state << ", wait status " << status;
  }
}

// Points the system bus at `address` while it lives.
class SystemBusAddress {
 public:
  explicit SystemBusAddress(const std::string& address) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SystemBusAddress() { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
};

TEST(LinuxMainLoop, PowerOffObserverFiresOnceWhenShutdownIsAnnouncedAndNeverWithoutABus) {
  {
    SystemBusAddress noBus("unix:path=/nonexistent/system_bus_socket");
    LinuxMainLoop loop;
    bool fired = false;
    auto subscription = loop.observePowerOff([&] { fired = true; });
    loop.runAfter(0.005, [&] { loop.quit(0); });
    EXPECT_NE(subscription, nullptr);
    EXPECT_EQ(loop.run(), 0);
    EXPECT_FALSE(fired);
  }
  const std::string socketPath = "/tmp/linux_main_loop_test_bus." + std::to_string(getpid());
  int addressPipe[2];
  ASSERT_EQ(pipe(addressPipe), 0);
  const std::string listen = "--address=unix:path=" + socketPath;
  const std::string print = "--print-address=" + std::to_string(addressPipe[1]);
  std::fflush(nullptr);
  const pid_t daemon = fork();
  if (daemon == 0) {
    close(addressPipe[0]);
    freopen("/dev/null", "w", stderr);
    execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", listen.c_str(), print.c_str(),
           nullptr);
    _exit(127);
  }
  close(addressPipe[1]);
  std::string address;
  char byte;
  while (read(addressPipe[0], &byte, 1) == 1 && byte != '\n') address += byte;
  close(addressPipe[0]);
  if (address.empty()) {
    reap(daemon);
    GTEST_SKIP() << "no dbus-daemon to stand in for the system bus";
  }

  {
    SystemBusAddress privateBus(address);
    LinuxMainLoop loop;
    int fired = 0;
    auto subscription = loop.observePowerOff([&] {
      ++fired;
      loop.quit(0);
    });
    // The announcer owns login's name on the stand-in bus, as logind would.
    sd_bus* login = nullptr;
    const bool connected = sd_bus_open_system(&login) >= 0;
    EXPECT_TRUE(connected);
    if (connected) {
      EXPECT_GE(sd_bus_request_name(login, "org.freedesktop.login1", 0), 0);
      for (const int starting : {0, 1}) {
        EXPECT_GE(
            sd_bus_emit_signal(login, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               "PrepareForShutdown", "b", starting),
            0);
      }
      sd_bus_flush(login);
      auto guard = failAfterSeconds(loop, 5);
      EXPECT_EQ(loop.run(), 0);
      EXPECT_EQ(fired, 1);
      sd_bus_flush_close_unref(login);
    }
  }
  kill(daemon, SIGTERM);
  reap(daemon);
  unlink(socketPath.c_str());
}

}  // namespace
}  // namespace veldane
