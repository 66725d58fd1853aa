// The built watchdog on what a simulation cannot show: the detached launch, a
// real kill and tracer, the stacks of a real hang, its update and SIGTERM
// exits, idling, the open-file limit and the journal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool exitedWithZero(std::optional<int> status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

bool killed(std::optional<int> status) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
}

class WatchdogEndToEnd : public WatchdogHarness {
 protected:
  bool lastExitIs(WatchdogExitKind kind) const {
    return waitFor([&] { return ledger() && ledger()->lastExit == kind; });
  }
};

TEST_F(WatchdogEndToEnd, CrashIsRelaunchedDetachedWithTheRecoveredFlag) {
  writePlan({"crash 0.5", "run"});
  const pid_t watchdog = startWatching();
  ASSERT_TRUE(waitExit(startHost()));
  const auto crashed = std::chrono::steady_clock::now();
  ASSERT_TRUE(launchesReach(2, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - crashed, 900ms) << "the relaunch waits a second";

  const HostLaunch relaunched = launches()[1];
  EXPECT_EQ(relaunched.arguments, kRecovered);
  const std::optional<ProcessFacts> host = facts(relaunched.pid);
  ASSERT_TRUE(host);
  EXPECT_NE(host->parent, watchdog);
  EXPECT_EQ(host->session, relaunched.pid);
  for (const char* fd : {"0", "1", "2"}) {
    std::error_code error;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(relaunched.pid) + "/fd/" + fd, error),
              "/dev/null");
  }
  EXPECT_TRUE(lastExitIs(WatchdogExitKind::crash));
  EXPECT_TRUE(running(watchdog));
}

TEST_F(WatchdogEndToEnd, HungHostIsKilledAfterAReportOfItsThreadsAndRelaunched) {
  const struct {
    const char* step;
    const char* state;
    const char* summary;
    const char* frame;  // named in the main thread's stack
  } kCases[] = {
      {"spin 0.3", "running", "main thread spinning in user space in ", "demoSpin"},
      // The kernel's pipe_read, or anon_pipe_read since 6.14.
      {"block 0.3", "sleeping", "pipe_read from veldane::demoBlockInRead", "demoBlockInRead"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.step);
    fs::remove(files_.hangReportPath());
    fs::remove(control_ / "launches");
    writePlan({c.step, "run"});
    const pid_t watchdog = startWatching();
    const pid_t host = startHost();
    EXPECT_TRUE(killed(waitExit(host, 30s)));
    ASSERT_TRUE(launchesReach(2, 10s));
    EXPECT_EQ(launches()[1].arguments, kRecovered);
    EXPECT_TRUE(lastExitIs(WatchdogExitKind::hang));
    const std::optional<WatchdogHangReport> report = hangReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->pid, host);
    EXPECT_LE(report->snapshotSeconds, 0.5 + 0.1) << "the budget, and a little for scheduling";
    EXPECT_NE(report->summary.find(c.summary), std::string::npos) << report->summary;
    EXPECT_EQ(report->stacks, "unwound");
    ASSERT_FALSE(report->threads.empty());
    const HostThreadSnapshot& main = report->threads[0];
    EXPECT_EQ(main.tid, host);
    EXPECT_EQ(main.state, c.state);
    EXPECT_TRUE(main.cpuSinceSample) << "no early sample";
    EXPECT_TRUE(std::ranges::any_of(main.stack, [&](const std::string& frame) {
      return frame.find(c.frame) != std::string::npos &&
             frame.find("demo_host_main.cc:") != std::string::npos;
    })) << testing::PrintToString(main.stack);
    EXPECT_TRUE(childrenOf(watchdog).empty()) << "the stack helper was left behind";
    endProcesses();
  }
}

TEST_F(WatchdogEndToEnd, TracedHostIsSparedUntilTheTracerLeaves) {
  writePlan({"hang", "run"});
  const pid_t first = startHost();
  ASSERT_TRUE(waitFor([&] { return hostRecord().has_value(); }));
  ASSERT_EQ(ptrace(PTRACE_SEIZE, first, nullptr, nullptr), 0) << std::strerror(errno);
  startWatching();
  // Twice the hang limit of silence, with the curtain up.
  waitFor([&] { return !running(first) || launches().size() > 1; }, 12s);
  EXPECT_TRUE(running(first));
  EXPECT_EQ(launches().size(), 1u);

  // A running tracee must be stopped before it can be let go.
  ASSERT_EQ(ptrace(PTRACE_INTERRUPT, first, nullptr, nullptr), 0) << std::strerror(errno);
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, __WALL), first);
  ASSERT_EQ(ptrace(PTRACE_DETACH, first, nullptr, nullptr), 0) << std::strerror(errno);
  EXPECT_TRUE(killed(waitExit(first, 10s)));
  EXPECT_TRUE(launchesReach(2, 10s));
}

TEST_F(WatchdogEndToEnd, ReplacedExecutableEndsWithStatusZero) {
  const struct {
    const char* how;
    void (*replace)(const fs::path&);
  } kReplacements[] = {
      {"a new file renamed over it",
       [](const fs::path& watchdog) {
         fs::copy_file(VELDANE_E2E_WATCHDOG, watchdog.string() + ".new");
         fs::rename(watchdog.string() + ".new", watchdog);
       }},
      {"a later modification time",
       [](const fs::path& watchdog) {
         fs::last_write_time(watchdog, fs::last_write_time(watchdog) + 10s);
       }},
  };
  for (const auto& replacement : kReplacements) {
    SCOPED_TRACE(replacement.how);
    const pid_t watchdog = startWatching();
    replacement.replace(watchdog_);
    EXPECT_TRUE(exitedWithZero(waitExit(watchdog, 10s)));
  }
}

TEST_F(WatchdogEndToEnd, TightOpenFileLimitIsRaisedOrSaidAndExitsNonZero) {
  const fs::path errors = root_ / "stderr";
  // A soft limit of 6 is raised to the hard one: supervision as usual.
  const pid_t raised = spawn({"/usr/bin/prlimit", "--nofile=6:1024", watchdog_.string()}, errors);
  ASSERT_TRUE(waitFor([&] { return ledger().has_value(); })) << contents(errors);
  kill(raised, SIGKILL);
  waitExit(raised);

  const std::optional<int> status =
      waitExit(spawn({"/usr/bin/prlimit", "--nofile=6:6", watchdog_.string()}, errors), 5s);
  ASSERT_TRUE(status) << "it did not end";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
  EXPECT_TRUE(contents(errors).starts_with("VeldaneWatchdog: cannot run: the open-file limit"))
      << contents(errors);
}

TEST_F(WatchdogEndToEnd, IdlesOutsideABundleUntilSigterm) {
  const fs::path loose = root_ / "VeldaneWatchdog", errors = root_ / "stderr";
  fs::copy_file(VELDANE_E2E_WATCHDOG, loose);
  const pid_t watchdog = spawn({loose.string()}, errors);
  ASSERT_TRUE(waitFor([&] { return !contents(errors).empty(); }));
  EXPECT_FALSE(waitExit(watchdog, 3s)) << "idling ended by itself";
  ASSERT_EQ(kill(watchdog, SIGTERM), 0);
  EXPECT_TRUE(exitedWithZero(waitExit(watchdog, 10s)));
  EXPECT_EQ(contents(errors), "VeldaneWatchdog: not inside a Veldane app bundle; idling.\n");
  EXPECT_FALSE(fs::exists(root_ / "home" / ".local")) << "idling touched the data folder";

  // Standard error a pipe that nobody reads: the failed write is ignored.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  close(ends[0]);
  const pid_t unread = fork();
  if (unread == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (dup2(ends[1], STDERR_FILENO) == STDERR_FILENO) execl(loose.c_str(), "W", nullptr);
    _exit(127);
  }
  close(ends[1]);
  EXPECT_FALSE(waitExit(unread, 3s)) << "writing the message ended the process";
  ASSERT_EQ(kill(unread, SIGTERM), 0);
  EXPECT_TRUE(exitedWithZero(waitExit(unread, 10s)));
}

// The journal channel's own test checks every field; here the lines of a
// crash reach the journal at their levels, and SIGTERM ends supervision.
TEST_F(WatchdogEndToEnd, LogsTheCrashToTheJournalAndEndsOnSigterm) {
  if (std::strlen(VELDANE_E2E_JOURNAL_CAPTURE) == 0) GTEST_SKIP() << "no journal-capture";
  const fs::path journal = root_ / "journal.jsonl", errors = root_ / "capture.stderr";
  writePlan({"crash 0.5", "run"});
  const pid_t capture =
      spawn({VELDANE_E2E_JOURNAL_CAPTURE, "--out", journal.string(), watchdog_.string()}, errors);
  auto priorityOf = [&](const std::string& message) {
    std::istringstream lines(contents(journal));
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
      if (record.is_object() && record.value("MESSAGE", "") == message) {
        return record.value("PRIORITY", "?");
      }
    }
    return std::string();
  };
  const std::string watching = "Watching " + bundle_.string();
  const std::string crashed = "Host ended unexpectedly (crash); relaunching";
  waitFor([&] { return !priorityOf(watching).empty() || !running(capture); });
  if (!running(capture)) {
    const std::optional<int> status = waitExit(capture);
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 77) {
      GTEST_SKIP() << "no private journal here: " << contents(errors);
    }
    FAIL() << "journal-capture ended: " << contents(errors);
  }
  startHost();
  ASSERT_TRUE(waitFor([&] { return !priorityOf(crashed).empty(); }));
  EXPECT_EQ(priorityOf(watching), "5");
  EXPECT_EQ(priorityOf(crashed), "3");
  // SIGTERM is passed on to the watchdog, whose status the capture returns.
  ASSERT_EQ(kill(capture, SIGTERM), 0);
  EXPECT_TRUE(exitedWithZero(waitExit(capture, 10s)));
}

}  // namespace
}  // namespace veldane
