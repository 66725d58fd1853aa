// Runs the built watchdog from a bundle against the bench host and reports
// whole-process figures. scripts/bench prepares the bundle and the
// environment (XDG_DATA_HOME, VELDANE_BENCH_STAMPS) and calls it:
//
//   veldane-bench-driver BUNDLE idle SECONDS [-- WRAPPER...]
//       resident memory, CPU time and wake-ups of the watchdog over SECONDS
//       of a healthy host; WRAPPER (strace, /usr/bin/time) runs the watchdog
//   veldane-bench-driver BUNDLE reaction COUNT
//       COUNT times: SIGKILL the host, time the judging tick, the ledger
//       write and the relaunched host
//   veldane-bench-driver BUNDLE hang COUNT
//       COUNT hangs of the demo host in each of three rounds (spinning,
//       blocked, blocked without the stack helper): the time from the
//       judgement to the SIGKILL, as the watchdog's hang report tells it.
//       BUNDLE holds the demo host, the watchdog, its stack helper and
//       veldane-watchdog-status; VELDANE_DEMO_CONTROL names the host's
//       control folder
//
// The driver is a child subreaper, so the hosts that the watchdog launches
// become its children; it ends and reaps every process it started or
// inherited, by pid, on every way out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;

int64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

[[noreturn]] void fail(const std::string& why);

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int) { gInterrupted = 1; }

// Every wait goes through here, so that an interruption cleans up from
// ordinary code rather than from the signal handler.
void checkInterrupted() {
  if (gInterrupted) fail("interrupted");
}

void sleepMs(int ms) {
  const timespec pause{ms / 1000, (ms % 1000) * 1'000'000L};
  nanosleep(&pause, nullptr);
  checkInterrupted();
}

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    fail("cannot start " + args[0]);
  }
  return pid;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::istringstream list(readText(task.path().string() + "/children"));
    for (pid_t child = 0; list >> child;) found.push_back(child);
  }
  return found;
}

std::string exeOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// Ends every child, spawned or inherited as subreaper, and reaps it. A
// process whose parent ends here becomes a child and goes in the next round.
void cleanUp() {
  for (int round = 0; round < 100; ++round) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    const std::vector<pid_t> children = childrenOf(getpid());
    if (children.empty()) return;
    for (pid_t child : children) kill(child, SIGKILL);
    // Not sleepMs: an interruption is already being cleaned up.
    const timespec pause{0, 50'000'000};
    nanosleep(&pause, nullptr);
  }
}

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "veldane-bench-driver: %s\n", why.c_str());
  cleanUp();
  std::exit(1);
}

struct Stamp {
  pid_t pid = 0;
  int64_t entered = 0;
  int64_t recorded = 0;
};

std::vector<Stamp> readStamps() {
  const char* file = std::getenv("VELDANE_BENCH_STAMPS");
  if (file == nullptr) fail("VELDANE_BENCH_STAMPS is not set");
  std::vector<Stamp> stamps;
  std::istringstream lines(readText(file));
  for (Stamp s; lines >> s.pid >> s.entered >> s.recorded;) stamps.push_back(s);
  return stamps;
}

Stamp waitForStampAfter(size_t count, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 2) {
    std::vector<Stamp> stamps = readStamps();
    if (stamps.size() > count) return stamps[count];
    sleepMs(2);
  }
  fail("no host started");
}

pid_t findWatchdog(pid_t root, const std::string& exe) {
  for (int waited = 0; waited < 10000; waited += 5) {
    std::vector<pid_t> queue{root};
    while (!queue.empty()) {
      pid_t pid = queue.back();
      queue.pop_back();
      if (exeOf(pid) == exe) return pid;
      for (pid_t child : childrenOf(pid)) queue.push_back(child);
    }
    sleepMs(5);
  }
  fail("the watchdog did not start");
}

// True once the watchdog holds a pidfd for `host`: its exit watch is armed.
bool watching(pid_t watchdog, pid_t host) {
  std::error_code error;
  const std::string wanted = "Pid:\t" + std::to_string(host) + "\n";
  for (const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(watchdog) + "/fdinfo", error)) {
    if (readText(entry.path().string()).find(wanted) != std::string::npos) return true;
  }
  return false;
}

void waitUntilWatching(pid_t watchdog, pid_t host) {
  for (int waited = 0; waited < 10000; waited += 5) {
    if (watching(watchdog, host)) return;
    sleepMs(5);
  }
  fail("the watchdog does not watch host " + std::to_string(host));
}

struct Sample {
  std::map<std::string, int64_t> rollup;  // kB
  int64_t cpuTicks = 0;                   // utime + stime
  int64_t voluntary = 0;
  int64_t involuntary = 0;
  int64_t runNs = 0;  // time on a CPU, from /proc/PID/schedstat
};

Sample sample(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  Sample s;
  std::istringstream rollup(readText(proc + "/smaps_rollup"));
  for (std::string line; std::getline(rollup, line);) {
    std::istringstream fields(line);
    std::string key;
    int64_t kb = 0;
    if (fields >> key >> kb && key.ends_with(':')) s.rollup[key.substr(0, key.size() - 1)] = kb;
  }
  // Fields after the parenthesised command name: utime and stime are 14 and 15.
  const std::string stat = readText(proc + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string f; rest >> f;) fields.push_back(f);
  if (fields.size() > 12) s.cpuTicks = std::stoll(fields[11]) + std::stoll(fields[12]);
  std::istringstream(readText(proc + "/schedstat")) >> s.runNs;
  std::istringstream status(readText(proc + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("voluntary_ctxt_switches:")) s.voluntary = std::stoll(line.substr(24));
    if (line.starts_with("nonvoluntary_ctxt_switches:")) {
      s.involuntary = std::stoll(line.substr(27));
    }
  }
  return s;
}

// Private (unshared) kB of each mapping's file, clean and dirty.
struct Private {
  int64_t clean = 0;
  int64_t dirty = 0;
};

std::map<std::string, Private> privateByMapping(pid_t pid) {
  std::map<std::string, Private> sizes;
  std::istringstream smaps(readText("/proc/" + std::to_string(pid) + "/smaps"));
  std::string name;
  for (std::string line; std::getline(smaps, line);) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
        line.find('-') < line.find(' ')) {
      std::istringstream fields(line);
      std::string range, perms, offset, device, inode;
      fields >> range >> perms >> offset >> device >> inode;
      std::getline(fields >> std::ws, name);
      if (name.empty()) name = "[anonymous]";
      name = fs::path(name).filename().string();
      continue;
    }
    std::istringstream fields(line);
    std::string key;
    int64_t kb = 0;
    if (!(fields >> key >> kb)) continue;
    if (key == "Private_Clean:") sizes[name].clean += kb;
    if (key == "Private_Dirty:") sizes[name].dirty += kb;
  }
  return sizes;
}

struct Session {
  pid_t host = 0;
  pid_t top = 0;  // the watchdog, or its wrapper
  pid_t watchdog = 0;
};

fs::path dataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data == nullptr) fail("XDG_DATA_HOME is not set");
  for (const auto& entry : fs::recursive_directory_iterator(data)) {
    if (entry.path().filename() == "host.json") return entry.path().parent_path();
  }
  fail("no host.json under " + std::string(data));
}

Session start(const fs::path& bundle, const std::vector<std::string>& wrapper) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  Session session;
  const size_t before = readStamps().size();
  spawn({(bundle / "Contents/MacOS/BenchHost").string()});
  session.host = waitForStampAfter(before, 10000).pid;
  const std::string watchdogExe = (bundle / "Contents/MacOS/VeldaneWatchdog").string();
  std::vector<std::string> command = wrapper;
  command.push_back(watchdogExe);
  session.top = spawn(command);
  session.watchdog = findWatchdog(session.top, watchdogExe);
  waitUntilWatching(session.watchdog, session.host);
  return session;
}

// Ends the watchdog with SIGTERM and gives it, or its wrapper (which then
// writes its report), up to five seconds to exit.
void stop(const Session& session) {
  kill(session.watchdog, SIGTERM);
  for (int waited = 0; waited < 5000; waited += 10) {
    if (waitpid(session.top, nullptr, WNOHANG) != 0) return;
    sleepMs(10);
  }
}

int idle(const fs::path& bundle, double seconds, const std::vector<std::string>& wrapper) {
  Session session = start(bundle, wrapper);
  // One more second, so that start-up work is behind the first sample.
  sleepMs(1000);
  // Ticks are counted as the watchdog's reads of host.json: the host only
  // ever replaces the file, and this driver does not read it.
  const int ticksFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ticksFd < 0 || inotify_add_watch(ticksFd, dataFolder().c_str(), IN_OPEN) < 0) {
    fail("inotify");
  }
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  const Sample a = sample(session.watchdog);
  const int64_t from = nowNs();
  sleepMs(static_cast<int>(seconds * 1000));
  const Sample b = sample(session.watchdog);
  int ticks = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t got; (got = read(ticksFd, events, sizeof events)) > 0;) {
    for (ssize_t offset = 0; offset < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
      if (event->len > 0 && std::strcmp(event->name, "host.json") == 0) ++ticks;
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(ticksFd);
  const double elapsed = static_cast<double>(nowNs() - from) / 1e9;
  const auto top = privateByMapping(session.watchdog);
  stop(session);

  const auto kb = [&](const char* key) { return b.rollup.count(key) ? b.rollup.at(key) : 0; };
  std::printf("watchdog sampled over %.1f s\n", elapsed);
  int64_t ownClean = 0;
  int64_t libraryClean = 0;
  for (const auto& [name, size] : top)
    (name == "VeldaneWatchdog" ? ownClean : libraryClean) += size.clean;
  std::printf("  private memory (Private_Clean + Private_Dirty): %" PRId64 " KiB = %" PRId64
              " dirty + %" PRId64 " clean of its executable + %" PRId64
              " clean of libraries no other process maps now\n",
              kb("Private_Clean") + kb("Private_Dirty"), kb("Private_Dirty"), ownClean,
              libraryClean);
  std::printf("  resident (Rss): %" PRId64 " KiB, proportional (Pss): %" PRId64 " KiB\n", kb("Rss"),
              kb("Pss"));
  std::vector<std::pair<std::string, Private>> sorted(top.begin(), top.end());
  std::sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) {
    return x.second.clean + x.second.dirty > y.second.clean + y.second.dirty;
  });
  std::printf("  private by mapping, KiB clean+dirty:");
  for (size_t i = 0; i < sorted.size() && i < 10; ++i) {
    std::printf(" %s %" PRId64 "+%" PRId64 ";", sorted[i].first.c_str(), sorted[i].second.clean,
                sorted[i].second.dirty);
  }
  std::printf("\n");
  const double cpuMs =
      static_cast<double>(b.cpuTicks - a.cpuTicks) * 1000.0 / static_cast<double>(ticksPerSecond);
  const double runMs = static_cast<double>(b.runNs - a.runNs) / 1e6;
  std::printf(
      "  CPU time in the window: %.2f ms on a CPU (schedstat), %.0f ms in utime + stime"
      " (%ld Hz ticks)\n",
      runMs, cpuMs, ticksPerSecond);
  std::printf("  ticks in the window: %d, %.3f ms of CPU each\n", ticks,
              ticks > 0 ? runMs / ticks : 0.0);
  std::printf("  wake-ups in the window: %" PRId64 " voluntary, %" PRId64
              " involuntary context switches\n",
              b.voluntary - a.voluntary, b.involuntary - a.involuntary);
  cleanUp();
  return 0;
}

// The nearest-rank percentile `p` of `values`, which it sorts.
double percentile(std::vector<double>& values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// Times, as read by this driver, of what follows a kill: the host's exit
// (its pidfd), the watchdog opening host.json, and the ledger renamed into
// place. Each event is stamped when the driver reads it.
struct Reaction {
  int64_t exited = 0;
  int64_t opened = 0;
  int64_t written = 0;
};

Reaction observe(int pidfd, int inotifyFd) {
  Reaction seen;
  alignas(inotify_event) char buffer[4096];
  while (seen.exited == 0 || seen.opened == 0 || seen.written == 0) {
    pollfd fds[2] = {{seen.exited == 0 ? pidfd : -1, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
    const int ready = poll(fds, 2, 10000);
    const int64_t at = nowNs();
    checkInterrupted();
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 1) fail("the watchdog did not react to the host's death");
    if (fds[0].revents & POLLIN) seen.exited = at;
    if (!(fds[1].revents & POLLIN)) continue;
    const ssize_t got = read(inotifyFd, buffer, sizeof buffer);
    for (ssize_t offset = 0; offset < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len == 0) continue;
      if ((event->mask & IN_OPEN) && std::strcmp(event->name, "host.json") == 0 &&
          seen.opened == 0) {
        seen.opened = at;
      }
      if ((event->mask & IN_MOVED_TO) && std::strcmp(event->name, "watchdog.json") == 0 &&
          seen.written == 0) {
        seen.written = at;
      }
    }
  }
  return seen;
}

int reaction(const fs::path& bundle, int count) {
  Session session = start(bundle, {});
  const fs::path folder = dataFolder();
  const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0 || inotify_add_watch(fd, folder.c_str(), IN_OPEN | IN_MOVED_TO) < 0) {
    fail("inotify");
  }
  std::vector<double> exited, tick, reacted, ledger, entered, recorded;
  pid_t host = session.host;
  for (int i = 0; i < count; ++i) {
    waitUntilWatching(session.watchdog, host);
    // Away from the timer ticks, so that the exit watch is what reacts.
    sleepMs(100);
    alignas(inotify_event) char drain[4096];
    while (read(fd, drain, sizeof drain) > 0) {
    }
    const size_t stampsBefore = readStamps().size();
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, host, 0));
    if (pidfd < 0) fail("pidfd_open");
    const int64_t killed = nowNs();
    kill(host, SIGKILL);
    const Reaction seen = observe(pidfd, fd);
    close(pidfd);
    const Stamp next = waitForStampAfter(stampsBefore, 10000);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    exited.push_back(static_cast<double>(seen.exited - killed) / 1e6);
    tick.push_back(static_cast<double>(seen.opened - killed) / 1e6);
    reacted.push_back(static_cast<double>(seen.opened - seen.exited) / 1e6);
    ledger.push_back(static_cast<double>(seen.written - killed) / 1e6);
    entered.push_back(static_cast<double>(next.entered - killed) / 1e6 - 1000.0);
    recorded.push_back(static_cast<double>(next.recorded - killed) / 1e6 - 1000.0);
    host = next.pid;
  }
  close(fd);
  stop(session);
  cleanUp();

  std::printf("%d host deaths (SIGKILL), times from the kill, ms: p50 / p99\n", count);
  const auto row = [](const char* what, std::vector<double>& values) {
    std::printf("  %-58s %8.3f %8.3f\n", what, percentile(values, 0.50), percentile(values, 0.99));
  };
  row("host has exited (its pidfd is readable)", exited);
  row("judging tick opens host.json (exit watch)", tick);
  row("  the same, from the host's exit", reacted);
  row("ledger written (watchdog.json renamed into place)", ledger);
  row("relaunched host enters main, beyond the fixed 1.0 s", entered);
  row("relaunched host has written its record, beyond 1.0 s", recorded);
  return 0;
}

// Starts `args` with /dev/null as its standard input and output, in a
// session of its own when `detached`, as the demo host is when opened by hand.
pid_t spawnQuiet(const std::vector<std::string>& args, bool detached) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (detached) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) fail("cannot start " + args[0]);
  return pid;
}

void reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) checkInterrupted();
}

// What veldane-watchdog-status --json tells of `bundle`; null when it tells
// nothing that parses.
nlohmann::json statusOf(const std::string& tool, const fs::path& bundle) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) fail("pipe");
  const std::string path = bundle.string();
  char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("--json"),
                  const_cast<char*>(path.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) {
      out.append(buffer, static_cast<size_t>(got));
    } else if (errno == EINTR) {
      checkInterrupted();
    } else {
      break;
    }
  }
  close(ends[0]);
  if (error != 0) fail("cannot start " + tool);
  reap(pid);
  return nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
}

// `object`'s `key`; null when there is none.
nlohmann::json field(const nlohmann::json& object, const char* key) {
  return object.is_object() ? object.value(key, nlohmann::json()) : nlohmann::json();
}

// The median as the mean of the middle two of an even count.
double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One round: the demo host hangs as `step` says on every launch, from a fresh
// ledger, until the watchdog has ended it `count` times (with the curtain up,
// some 7 s each; after the third it launches once more and stops).
void hangRound(const fs::path& bundle, const fs::path& folder, const std::string& tool,
               const char* label, const char* step, int count) {
  const fs::path macos = bundle / "Contents/MacOS";
  const fs::path control = std::getenv("VELDANE_DEMO_CONTROL");
  std::error_code error;
  for (const char* name : {"plan", "launches", "events"}) fs::remove(control / name, error);
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".json") fs::remove(entry.path(), error);
  }
  std::ofstream(control / "plan") << step << '\n';

  const pid_t watchdog = spawnQuiet({(macos / "VeldaneWatchdog").string()}, false);
  sleepMs(500);
  spawnQuiet({(macos / "Hang").string()}, true);
  for (int waited = 0; !fs::is_directory(folder, error); waited += 10) {
    if (waited > 10000) fail("no data folder " + folder.string());
    sleepMs(10);
  }
  // The report is renamed into place, once per hang.
  const int reports = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (reports < 0 || inotify_add_watch(reports, folder.c_str(), IN_MOVED_TO) < 0) fail("inotify");
  std::vector<pid_t> seen;
  std::vector<double> times;
  std::string stacks;
  const int64_t end = nowNs() + (12LL * count + 10) * 1'000'000'000;
  while (static_cast<int>(times.size()) < count && nowNs() < end) {
    pollfd ready{reports, POLLIN, 0};
    if (poll(&ready, 1, 1000) < 1) {
      checkInterrupted();
      continue;
    }
    alignas(inotify_event) char events[4096];
    bool renamed = false;
    for (ssize_t got; (got = read(reports, events, sizeof events)) > 0;) {
      for (ssize_t offset = 0; offset < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + offset);
        if (event->len > 0 && std::strcmp(event->name, "hang-report.json") == 0) renamed = true;
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (!renamed) continue;
    const nlohmann::json report = field(statusOf(tool, bundle), "hangReport");
    const nlohmann::json pid = field(report, "pid");
    const nlohmann::json snapshot = field(report, "snapshotSeconds");
    if (!pid.is_number_integer() || !snapshot.is_number()) continue;
    if (std::find(seen.begin(), seen.end(), pid.get<pid_t>()) != seen.end()) continue;
    seen.push_back(pid.get<pid_t>());
    times.push_back(snapshot.get<double>() * 1000);
    const nlohmann::json status = field(report, "stacks");
    stacks = status.is_string() ? status.get<std::string>() : "?";
  }
  close(reports);
  kill(watchdog, SIGTERM);
  reap(watchdog);
  cleanUp();  // the hosts it left

  if (times.empty()) {
    std::printf("  %s: no hang report\n", label);
  } else {
    std::printf("  %s: %zu hangs, judgement to SIGKILL median %.1f ms, max %.1f ms (stacks: %s)\n",
                label, times.size(), median(times), *std::max_element(times.begin(), times.end()),
                stacks.c_str());
  }
  std::fflush(stdout);
}

int hang(const fs::path& bundle, int count) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (std::getenv("VELDANE_DEMO_CONTROL") == nullptr) fail("VELDANE_DEMO_CONTROL is not set");
  // The demo host ends should this driver be gone.
  setenv("VELDANE_DEMO_OWNER", std::to_string(getpid()).c_str(), 1);
  const fs::path macos = bundle / "Contents/MacOS";
  const std::string tool = (macos / "veldane-watchdog-status").string();
  const nlohmann::json folder = field(field(statusOf(tool, bundle), "bundle"), "dataFolder");
  if (!folder.is_string()) fail(tool + " names no data folder");

  hangRound(bundle, folder.get<std::string>(), tool, "spinning main thread, with stacks",
            "spin 0.2", count);
  hangRound(bundle, folder.get<std::string>(), tool,
            "blocked main thread + 1 sleeping thread, with stacks", "block 0.2", count);
  const fs::path helper = macos / "veldane-hang-stacks";
  const fs::path away = macos / "veldane-hang-stacks.away";
  std::error_code error;
  fs::rename(helper, away, error);
  if (error) fail("cannot move " + helper.string() + " away");
  hangRound(bundle, folder.get<std::string>(), tool,
            "blocked, no helper beside the watchdog: states only", "block 0.2", count);
  fs::rename(away, helper, error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  const bool counted = mode == "reaction" || mode == "hang";
  if (argc < 4 || (mode != "idle" && !counted) || (counted && argc > 4)) {
    std::fprintf(stderr,
                 "usage: %s BUNDLE idle SECONDS [-- WRAPPER...]\n"
                 "       %s BUNDLE reaction COUNT\n"
                 "       %s BUNDLE hang COUNT\n",
                 argv[0], argv[0], argv[0]);
    return 2;
  }
  struct sigaction interrupt {};
  interrupt.sa_handler = onSignal;  // no SA_RESTART: waits return early
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &interrupt, nullptr);
  const fs::path bundle = fs::absolute(argv[1]);
  if (mode == "reaction") return reaction(bundle, std::atoi(argv[3]));
  if (mode == "hang") return hang(bundle, std::atoi(argv[3]));
  std::vector<std::string> wrapper;
  for (int i = 4; i < argc; ++i) {
    if (i == 4 && std::strcmp(argv[i], "--") == 0) continue;
    wrapper.push_back(argv[i]);
  }
  return idle(bundle, std::atof(argv[3]), wrapper);
}
