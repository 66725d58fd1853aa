// The host library in the namespaces that sandboxes run applications in,
// made with real processes: the record must name the host and its uptime as
// the watchdog outside sees them, or the session must not start.
#include <sched.h>
#include <sys/mount.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "host/host_test_bundle.h"
#include "platform/process_info.h"
#include "platform/uptime_clock.h"
#include "state/watchdog_files.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

constexpr int kStarted = 0;
constexpr int kRefused = 1;
constexpr int kNoNamespace = 90;

// Unshares `flags` in a child, and in a mount namespace of its own makes
// mounts private; `body` then runs in a grandchild, the first process in the
// namespaces made. Answers the grandchild's pid here and its exit status.
ChildExit runInNewNamespaces(int flags, const std::function<bool()>& prepare,
                             const std::function<int()>& body) {
  int ends[2];
  if (pipe(ends) != 0) return {};
  const ChildExit child = runInChild([&] {
    close(ends[0]);
    if (unshare(flags) != 0) return kNoNamespace;
    if ((flags & CLONE_NEWNS) != 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return kNoNamespace;
    }
    if (prepare && !prepare()) return kNoNamespace;
    const ChildExit grandchild = runInChild([&] {
      close(ends[1]);
      return body();
    });
    const bool told = write(ends[1], &grandchild.pid, sizeof grandchild.pid) ==
                      static_cast<ssize_t>(sizeof grandchild.pid);
    return told ? grandchild.status : -1;
  });
  close(ends[1]);
  pid_t grandchild = -1;
  if (read(ends[0], &grandchild, sizeof grandchild) != static_cast<ssize_t>(sizeof grandchild)) {
    grandchild = -1;
  }
  close(ends[0]);
  return {grandchild, child.status};
}

// Starts a session, beats and lifts the crash loop; the reason of a refusal
// goes to "why" beside the bundle.
int startAndWrite(const TestBundle& bundle) {
  std::string failure;
  auto session = startIn(bundle, {}, {}, &failure);
  if (!session) {
    std::ofstream(bundle.path / "why") << failure;
    return kRefused;
  }
  return session->beat() && session->resetCrashLoop() ? kStarted : 2;
}

std::string whyRefused(const TestBundle& bundle) {
  std::ostringstream text;
  text << std::ifstream(bundle.path / "why").rdbuf();
  return text.str();
}

bool mountProc() {
  return mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
}

TEST(HostNamespaces, InAPidNamespaceTheRecordNamesThePidOutside) {
  TestBundle bundle;
  const ChildExit host = runInNewNamespaces(CLONE_NEWPID, {}, [&] {
    return getpid() == 1 ? startAndWrite(bundle) : 3;
  });
  if (host.status == kNoNamespace) GTEST_SKIP() << "no pid namespace";
  ASSERT_EQ(host.status, kStarted) << whyRefused(bundle);
  const HostRunRecord record = readRecord(bundle);
  EXPECT_EQ(record.pid, host.pid);
  EXPECT_EQ(record.executablePath,
            WatchdogFiles::normalized(*ProcessInfo::executablePath(getpid())));
}

// Its /proc shows no outer pid: mounted from the namespace itself, or from
// one between it and the initial one.
TEST(HostNamespaces, APidNamespaceWithAProcOfItsOwnRefusesToStart) {
  TestBundle bundle;
  const ChildExit own = runInNewNamespaces(CLONE_NEWPID | CLONE_NEWNS, {}, [&] {
    return mountProc() ? startAndWrite(bundle) : kNoNamespace;
  });
  if (own.status == kNoNamespace) GTEST_SKIP() << "no pid and mount namespace";
  EXPECT_EQ(own.status, kRefused);
  EXPECT_TRUE(whyRefused(bundle).starts_with("in a pid namespace whose /proc is mounted from "
                                             "inside it"))
      << whyRefused(bundle);

  fs::remove(bundle.path / "why");
  const ChildExit nested = runInNewNamespaces(CLONE_NEWPID | CLONE_NEWNS, {}, [&] {
    if (!mountProc() || unshare(CLONE_NEWPID) != 0) return kNoNamespace;
    return runInChild([&] { return startAndWrite(bundle); }).status;
  });
  EXPECT_EQ(nested.status, kRefused);
  EXPECT_TRUE(whyRefused(bundle).starts_with("in a pid namespace whose /proc is mounted from a "
                                             "namespace inside"))
      << whyRefused(bundle);
  EXPECT_FALSE(fs::exists(bundle.files().hostRecordPath()));
}

TEST(HostNamespaces, InATimeNamespaceTheUptimesAreTheWatchdogs) {
  TestBundle bundle;
  constexpr int kAhead = 100000;
  const double before = systemUptime().count();
  const ChildExit host = runInNewNamespaces(
      CLONE_NEWTIME,
      [] {
        // Set for the namespace before any process enters it.
        std::ofstream offsets("/proc/self/timens_offsets");
        offsets << CLOCK_MONOTONIC << ' ' << kAhead << " 0\n";
        offsets.close();
        return !offsets.fail();
      },
      [&] { return systemUptime().count() > kAhead ? startAndWrite(bundle) : 3; });
  const double after = systemUptime().count();
  if (host.status == kNoNamespace) GTEST_SKIP() << "no time namespace";
  ASSERT_EQ(host.status, kStarted) << whyRefused(bundle);
  const HostRunRecord record = readRecord(bundle);
  EXPECT_GE(record.heartbeatUptime, before);
  EXPECT_LE(record.heartbeatUptime, after);
  ASSERT_TRUE(record.crashLoopResetUptime);
  EXPECT_GE(*record.crashLoopResetUptime, record.heartbeatUptime);
  EXPECT_LE(*record.crashLoopResetUptime, after);
}

}  // namespace
}  // namespace veldane
