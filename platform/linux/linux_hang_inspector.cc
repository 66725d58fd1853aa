#include "platform/linux/linux_hang_inspector.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/host_process_info.h"
#include "platform/linux/proc_threads.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using Clock = std::chrono::steady_clock;

// Left for killing and reaping the helper after its deadline.
constexpr auto kReapMargin = std::chrono::milliseconds(40);

struct HelperRun {
  std::string output;
  std::string failure;  // why it could not run, or why it was stopped
};

int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// Runs the helper with its standard output on a pipe, reads until it ends or
// `deadline`, then kills it if need be and reaps it: the helper is this
// process's own unreaped child, so its pid cannot have been reused.
HelperRun runHelper(const std::string& path, int32_t pid, Clock::time_point deadline) {
  HelperRun run;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {{}, std::string("no pipe: ") + std::strerror(errno)};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The watchdog blocks SIGTERM for its loop; the helper must not inherit that.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string pidText = std::to_string(pid);
  const std::string budgetText = std::to_string(millisecondsUntil(deadline));
  char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(pidText.c_str()),
                        const_cast<char*>(budgetText.c_str()), nullptr};
  // No environment: nothing (DEBUGINFOD_URLS) sends libdw to the network.
  char* const envp[] = {nullptr};
  pid_t helper = 0;
  const int spawned = posix_spawn(&helper, path.c_str(), &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return {{}, "cannot run " + path + ": " + std::strerror(spawned)};
  }

  bool ended = false;
  for (;;) {
    pollfd readable{out[0], POLLIN, 0};
    const int ready = poll(&readable, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended = true;
      break;
    }
    run.output.append(buffer, static_cast<size_t>(got));
  }
  close(out[0]);
  if (!ended) {
    kill(helper, SIGKILL);
    run.failure = "stopped at the time limit";
  }
  while (waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }
  return run;
}

}  // namespace

std::string LinuxHangInspector::besideThisExecutable() {
  std::string own = HostProcessInfo::executablePath(getpid()).value_or("");
  own.resize(own.rfind('/') == std::string::npos ? 0 : own.rfind('/') + 1);
  return own + kUnwinderName;
}

HostCpuSample LinuxHangInspector::sampleCpu(int32_t pid) { return ProcThreads::cpuTimes(pid); }

void LinuxHangInspector::snapshot(int32_t pid, double budget, Completion done) {
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(budget)) -
      kReapMargin;
  HostHangSnapshot snapshot;
  // Before any attach, which would show every thread as traced.
  snapshot.threads = ProcThreads::read(pid, /*kernelStacks=*/true);
  if (snapshot.threads.empty()) {
    snapshot.stacks = "the process could not be read";
    done(std::move(snapshot));
    return;
  }
  if (access(unwinder_.c_str(), X_OK) != 0) {
    snapshot.stacks = "no " + std::string(kUnwinderName) + " beside the watchdog";
    done(std::move(snapshot));
    return;
  }

  const HelperRun run = runHelper(unwinder_, pid, deadline);
  size_t unwound = 0;
  std::string refusal;
  size_t at = 0;
  while (at < run.output.size()) {
    size_t end = run.output.find('\n', at);
    // A line cut off by the deadline is no line.
    if (end == std::string::npos) break;
    // The store's parser: the one the watchdog already has.
    const std::optional<nlohmann::json> parsed =
        WatchdogStore::parse(std::string_view(run.output).substr(at, end - at));
    at = end + 1;
    if (!parsed || !parsed->is_object()) continue;
    const nlohmann::json& line = *parsed;
    const auto tid = line.find("tid");
    const auto frames = line.find("frames");
    const auto error = line.find("error");
    if (tid == line.end()) {
      if (error != line.end() && error->is_string()) refusal = error->get<std::string>();
      continue;
    }
    if (frames == line.end() || !frames->is_array() || !tid->is_number_integer()) continue;
    for (HostThreadSnapshot& thread : snapshot.threads) {
      if (thread.tid != tid->get<int32_t>()) continue;
      for (const nlohmann::json& frame : *frames) {
        if (frame.is_string()) thread.stack.push_back(frame.get<std::string>());
      }
      ++unwound;
    }
  }
  if (!refusal.empty()) {
    snapshot.stacks = refusal;
  } else if (!run.failure.empty()) {
    snapshot.stacks =
        run.failure + (unwound ? " (" + std::to_string(unwound) + " of " +
                                     std::to_string(snapshot.threads.size()) + " threads unwound)"
                               : std::string());
  } else {
    snapshot.stacks = unwound ? "unwound" : "no stack could be unwound";
  }
  done(std::move(snapshot));
}

}  // namespace veldane
