// The built watchdog on what a simulation cannot show: the detached launch, a
// real kill and tracer, the stacks of a real hang, the journal, its update and
// SIGTERM exits, idling and the open-file limit.
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include <nlohmann/json.hpp>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"

namespace veldane::e2e {
namespace {

const testing::ExitedWithCode exitedWithZero(0);
const testing::KilledBySignal killed(SIGKILL);

// The first record that journal-capture wrote with `field` set to `value`.
nlohmann::json journalRecord(const fs::path& journal, const char* field, const std::string& value) {
  std::istringstream lines(contents(journal));
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_object() && record.value(field, "") == value) return record;
  }
  return nlohmann::json::object();
}

using WatchdogEndToEnd = WatchdogHarness;

// The child of `parent` whose command name is `name`, or 0.
pid_t childNamed(pid_t parent, const std::string& name) {
  for (pid_t child : childrenOf(parent)) {
    if (contents("/proc/" + std::to_string(child) + "/comm") == name + "\n") return child;
  }
  return 0;
}

// Sends entries to the socket of the journal that `journald` serves until it
// takes no more, so that the next sender blocks; false if it never filled.
bool fillJournalSocket(pid_t journald) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = "/proc/" + std::to_string(journald) + "/root/run/systemd/journal/socket";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // A send buffer that is not the first to fill, so that the journal's queue is.
  const int buffer = 64 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
  constexpr char kFiller[] = "MESSAGE=filler\n";
  int sent = 0;
  while (sendto(fd, kFiller, sizeof kFiller - 1, MSG_DONTWAIT,
                reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0) {
    ++sent;
  }
  const bool full = errno == EAGAIN && sent > 0;
  close(fd);
  return full;
}

size_t journalRecordCount(const fs::path& journal, const char* field, const std::string& value) {
  std::istringstream lines(contents(journal));
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    count += record.is_object() && record.value(field, "") == value;
  }
  return count;
}

long setting(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

// Read before the harness clears the environment.
const long kCycles = setting("VELDANE_SOAK_CYCLES", 5), kEvery = setting("VELDANE_SOAK_REPORT", 0);
const std::chrono::minutes kMinutes(setting("VELDANE_SOAK_MINUTES", 1 << 20));

// Crash after crash, each relaunched detached with the recovered flag, while
// the watchdog's descriptors, resident memory and processes stay flat, with no
// zombie left. A few crashes here; scripts/soak runs it long with
// VELDANE_SOAK_CYCLES (0: no limit), VELDANE_SOAK_MINUTES and
// VELDANE_SOAK_REPORT (print the figures of every Nth crash).
TEST_F(WatchdogEndToEnd, CrashesAreRelaunchedDetachedLeavingNothingBehind) {
  constexpr long kWarmUp = 3;
  ASSERT_TRUE(kCycles == 0 || kCycles > kWarmUp) << "too few cycles";
  const auto start = std::chrono::steady_clock::now();
  // Every run lifts a crash-loop stop, so that every crash is relaunched.
  writePlan({"reset"});
  const pid_t watchdog = startWatching();
  startHost();
  struct {
    long descriptors = 0, residentKiB = 0;
    size_t processes = 0;
  } baseline, last;
  long done = 0;
  while ((kCycles == 0 || done < kCycles) && std::chrono::steady_clock::now() < start + kMinutes) {
    SCOPED_TRACE("crash " + std::to_string(++done));
    ASSERT_TRUE(launchesReach(done));
    ASSERT_TRUE(recordOf(launches()[done - 1].pid, true)) << "the host never lifted the stop";
    crash(launches()[done - 1].pid);
    ASSERT_TRUE(launchesReach(done + 1, 10s));
    const HostLaunch relaunched = launches()[done];
    // From the third crash on, in safe mode too.
    EXPECT_EQ(relaunched.arguments.at(0), kRecovered[0]);
    EXPECT_NE(facts(relaunched.pid).parent, watchdog);
    EXPECT_EQ(facts(relaunched.pid).session, relaunched.pid);
    for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) {
      EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(relaunched.pid) + fd), "/dev/null");
    }

    // Of the watchdog, and of every process this test owns: the watchdog, the
    // hosts handed over to this subreaper, and their children.
    const std::string proc = "/proc/" + std::to_string(watchdog);
    last.descriptors = std::distance(fs::directory_iterator(proc + "/fd"), {});
    std::ifstream status(proc + "/status");
    for (std::string key; status >> key;) {
      if (key == "VmRSS:") status >> last.residentKiB;
    }
    std::vector<pid_t> owned = childrenOf(getpid());
    for (size_t i = 0; i < owned.size(); ++i) {
      for (pid_t child : childrenOf(owned[i])) owned.push_back(child);
      EXPECT_NE(facts(owned[i]).state, 'Z') << "a zombie";
    }
    last.processes = owned.size();
    if (done == kWarmUp) baseline = last;
    if (done > kWarmUp) {
      // One descriptor more: the exit watch of a host not yet seen.
      EXPECT_LE(last.descriptors, baseline.descriptors + 1);
#ifndef VELDANE_E2E_SANITIZED
      // AddressSanitizer's quarantine keeps freed memory resident on purpose.
      EXPECT_LE(last.residentKiB, baseline.residentKiB + 512);
#endif
      EXPECT_LE(last.processes, baseline.processes);
    }
    if (kEvery > 0 && done % kEvery == 0) {
      std::printf("soak: crash %ld  descriptors %ld  VmRSS %ld KiB  processes %zu\n", done,
                  last.descriptors, last.residentKiB, last.processes);
      std::fflush(stdout);
    }
  }
  std::printf("soak: %ld crashes in %.0f s\n", done,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// Spared while a tracer is attached. The journal's fields are checked here,
// once, on the hang's record.
TEST_F(WatchdogEndToEnd, HungHostIsKilledAfterAReportOfItsThreadsAndRelaunched) {
  const struct {
    const char* step;
    const char* summary;
    const char* frame;  // named in the main thread's stack
    bool traced;
  } kCases[] = {
      {"spin 0.3", "main thread spinning in user space in ", "demoSpin", false},
      // The kernel's pipe_read, or anon_pipe_read since 6.14.
      {"block 0.3", "pipe_read from veldane::demoBlockInRead", "demoBlockInRead", true},
  };
  const fs::path journal = root_ / "journal.jsonl";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.step);
    fs::remove(control_ / "launches");
    writePlan({c.step, "run"});
    const pid_t capture =
        startWatching({VELDANE_E2E_JOURNAL_CAPTURE, "--out", journal.string()}, root_ / "stderr");
    const pid_t host = startHost();
    if (c.traced) {
      ASSERT_TRUE(recordOf(host));
      ASSERT_EQ(ptrace(PTRACE_SEIZE, host, nullptr, nullptr), 0) << std::strerror(errno);
      // Twice the hang limit of silence, with the curtain up.
      EXPECT_FALSE(launchesReach(2, 12s)) << "the traced host was ended";
      // A running tracee must be stopped before it can be let go.
      ASSERT_EQ(ptrace(PTRACE_INTERRUPT, host, nullptr, nullptr), 0) << std::strerror(errno);
      ASSERT_EQ(waitpid(host, nullptr, __WALL), host);
      ASSERT_EQ(ptrace(PTRACE_DETACH, host, nullptr, nullptr), 0) << std::strerror(errno);
    }
    EXPECT_TRUE(killed(waitExit(host, 30s)));
    ASSERT_TRUE(launchesReach(2, 10s));
    for (pid_t child : childrenOf(capture)) {
      EXPECT_TRUE(childrenOf(child).empty()) << "the stack helper was left";
    }
    EXPECT_TRUE(fs::exists(files_.hangReportPath()));

    EXPECT_EQ(journalRecord(journal, "MESSAGE", "Watching " + (root_ / "Test.app").string())
                  .value("PRIORITY", ""),
              "5");
    const nlohmann::json hung = journalRecord(journal, "HOST_PID", std::to_string(host));
    const std::pair<const char*, std::string> kFields[] = {
        {"PRIORITY", "3"},
        {"SYSLOG_IDENTIFIER", "VeldaneWatchdog"},
        {"LOG_SUBSYSTEM", VELDANE_E2E_LOG_SUBSYSTEM},
        {"LOG_CATEGORY", "watchdog-helper"},
        {"HANG_REPORT", files_.hangReportPath().string()},
    };
    for (const auto& [field, value] : kFields) EXPECT_EQ(hung.value(field, ""), value) << field;
    const std::string message = hung.value("MESSAGE", ""), stacks = hung.value("STACKS", "");
    EXPECT_NE(message.find(c.summary), std::string::npos) << message;
    // A frame named with its file and line.
    EXPECT_TRUE(
        std::regex_search(stacks, std::regex(std::string(c.frame) + ".*demo_host_main\\.cc:")))
        << stacks;
    endProcesses();
  }
}

// A journal that reads nothing (stopped, its socket full) holds no relaunch
// back; once it reads again it gets the lines queued meanwhile and the count
// of those that did not fit, and SIGTERM ends the watchdog even while a line
// is stuck on its way.
TEST_F(WatchdogEndToEnd, StalledJournalHoldsNoRelaunchBackAndHearsOfTheLostLinesLater) {
  // One line in the blocked send, a full queue of 8, and three lost: eleven
  // relaunches, the first one with the line that says why the host opens
  // without a scope of its own (no user manager here).
  constexpr size_t kCrashes = 11;
  const std::string kLost = "3 log lines were lost while the journal was not reading";
  writePlan({"reset"});
  const fs::path journal = root_ / "journal.jsonl";
  const pid_t capture =
      startWatching({VELDANE_E2E_JOURNAL_CAPTURE, "--out", journal.string()}, root_ / "stderr");
  startHost();
  const pid_t journald = childNamed(capture, "systemd-journal");
  const pid_t watchdog = childNamed(capture, "VeldaneWatchdog");
  ASSERT_NE(journald, 0);
  ASSERT_NE(watchdog, 0);
  const std::string watching = "Watching " + (root_ / "Test.app").string();
  ASSERT_TRUE(waitFor([&] { return journalRecordCount(journal, "MESSAGE", watching) == 1; }));
  // The crash that the watchdog judges lifts the stop of the one before: the
  // watchdog's ledger need not have seen it first.
  auto hasLiftedTheStop = [&](pid_t pid) {
    return waitFor([&] {
      std::optional<HostRunRecord> record =
          WatchdogStore::read<HostRunRecord>(files_.hostRecordPath());
      return record && record->pid == pid && record->crashLoopResetAt;
    });
  };
  auto stall = [&] {
    ASSERT_EQ(kill(journald, SIGSTOP), 0);
    ASSERT_TRUE(fillJournalSocket(journald));
  };

  stall();
  for (size_t done = 1; done <= kCrashes; ++done) {
    SCOPED_TRACE("crash " + std::to_string(done));
    ASSERT_TRUE(launchesReach(done));
    ASSERT_TRUE(hasLiftedTheStop(launches()[done - 1].pid));
    crash(launches()[done - 1].pid);
    ASSERT_TRUE(launchesReach(done + 1, 10s)) << "the stalled journal held the relaunch back";
  }
  ASSERT_EQ(kill(journald, SIGCONT), 0);
  const nlohmann::json* note = nullptr;
  nlohmann::json found;
  ASSERT_TRUE(waitFor([&] {
    found = journalRecord(journal, "MESSAGE", kLost);
    return !found.empty();
  })) << contents(journal).size();
  note = &found;
  EXPECT_EQ(note->value("PRIORITY", ""), "4");
  EXPECT_EQ(note->value("LOG_LINES_LOST", ""), "3");
  EXPECT_EQ(note->value("LOG_SUBSYSTEM", ""), VELDANE_E2E_LOG_SUBSYSTEM);
  EXPECT_TRUE(waitFor([&] {
    return journalRecordCount(journal, "SYSLOG_IDENTIFIER", "VeldaneWatchdog") == 1 + 9 + 1;
  })) << "not every queued line came through";

  stall();
  ASSERT_TRUE(hasLiftedTheStop(launches()[kCrashes].pid));
  crash(launches()[kCrashes].pid);
  ASSERT_TRUE(launchesReach(kCrashes + 2, 10s));
  ASSERT_EQ(kill(watchdog, SIGTERM), 0);
  EXPECT_TRUE(
      waitFor([&] { return facts(watchdog).state == '?' || facts(watchdog).state == 'Z'; }, 5s))
      << "a line stuck on its way kept the process alive";
  ASSERT_EQ(kill(journald, SIGCONT), 0);
  EXPECT_TRUE(exitedWithZero(waitExit(capture)));
}

TEST_F(WatchdogEndToEnd, ReplacedExecutableEndsWithStatusZero) {
  // A new file renamed over it, a later modification time, the bundle moved away.
  for (const char* change : {"renamed over", "touched", "moved"}) {
    const pid_t watchdog = startWatching();
    if (change == std::string("renamed over")) {
      fs::copy_file(watchdog_, root_ / "new");
      fs::rename(root_ / "new", watchdog_);
    } else if (change == std::string("touched")) {
      fs::last_write_time(watchdog_, fs::last_write_time(watchdog_) + 10s);
    } else {
      fs::rename(root_ / "Test.app", root_ / "Moved.app");
    }
    EXPECT_TRUE(exitedWithZero(waitExit(watchdog, 10s))) << change;
  }
}

TEST_F(WatchdogEndToEnd, StatusToolReadsTheBundlesDataFolderAsTextOrJson) {
  startWatching();
  const auto run = [&](const std::string& arguments) {
    FILE* out = popen((VELDANE_E2E_STATUS_TOOL " " + arguments).c_str(), "r");
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    return std::pair(pclose(out), text);
  };
  const auto [status, json] = run("--json " + (root_ / "Test.app").string());
  EXPECT_TRUE(exitedWithZero(status));
  EXPECT_EQ(nlohmann::json::parse(json, nullptr, false)["bundle"]["dataFolder"],
            files_.directory().string())
      << json;
  EXPECT_TRUE(exitedWithZero(run("--help").first));
}

TEST_F(WatchdogEndToEnd, TightOpenFileLimitIsRaisedOrSaidAndExitsNonZero) {
  const fs::path errors = root_ / "stderr";
  // A soft limit of 6 is raised to the hard one: supervision as usual.
  kill(startWatching({"/usr/bin/prlimit", "--nofile=6:1024"}, errors), SIGKILL);

  const int status =
      waitExit(spawn({"/usr/bin/prlimit", "--nofile=6:6", watchdog_.string()}, errors), 5s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
  EXPECT_TRUE(contents(errors).starts_with("VeldaneWatchdog: cannot run: the open-file limit"))
      << contents(errors);

  // The same reason in the log, which the job manager keeps.
  const fs::path journal = root_ / "journal.jsonl", said = root_ / "said";
  const int captured =
      waitExit(spawn({VELDANE_E2E_JOURNAL_CAPTURE, "--out", journal.string(), "--",
                      "/usr/bin/prlimit", "--nofile=6:6", watchdog_.string()},
                     said),
               20s);
  if (WIFEXITED(captured) && WEXITSTATUS(captured) == 77) GTEST_SKIP() << "no private journal";
  const std::string text = contents(said), prefix = "VeldaneWatchdog: cannot run: ";
  const size_t at = text.find(prefix);
  ASSERT_NE(at, std::string::npos) << text;
  const std::string why = text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
  EXPECT_EQ(journalRecord(journal, "MESSAGE", "Cannot run: " + why).value("PRIORITY", ""), "3")
      << contents(journal);
}

TEST_F(WatchdogEndToEnd, IdlesOutsideABundleUntilSigterm) {
  const fs::path loose = root_ / "VeldaneWatchdog", errors = root_ / "stderr";
  fs::copy_file(VELDANE_E2E_WATCHDOG, loose);
  const pid_t watchdog = spawn({loose.string()}, errors);
  ASSERT_TRUE(waitFor([&] { return !contents(errors).empty(); }));
  EXPECT_EQ(waitExit(watchdog, 3s), -1) << "idling ended by itself";
  ASSERT_EQ(kill(watchdog, SIGTERM), 0);
  EXPECT_TRUE(exitedWithZero(waitExit(watchdog, 10s)));
  EXPECT_EQ(contents(errors), "VeldaneWatchdog: not inside a Veldane app bundle; idling.\n");
  EXPECT_FALSE(fs::exists(root_ / "home" / ".local")) << "idling touched the data folder";

  // The same text in the log, where a job manager's discarded standard error
  // leaves a developer something to read.
  const fs::path journal = root_ / "journal.jsonl";
  const pid_t capture =
      spawn({VELDANE_E2E_JOURNAL_CAPTURE, "--out", journal.string(), "--", loose.string()}, errors);
  const std::string idling = "VeldaneWatchdog: not inside a Veldane app bundle; idling.";
  const bool logged = waitFor(
      [&] { return journalRecord(journal, "MESSAGE", idling).value("PRIORITY", "") == "3"; }, 10s);
  ASSERT_EQ(kill(capture, SIGTERM), 0);
  const int captured = waitExit(capture, 10s);
  if (WIFEXITED(captured) && WEXITSTATUS(captured) == 77) GTEST_SKIP() << "no private journal";
  EXPECT_TRUE(logged) << contents(journal);

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
  EXPECT_EQ(waitExit(unread, 3s), -1) << "writing the message ended the process";
}

}  // namespace
}  // namespace veldane::e2e
