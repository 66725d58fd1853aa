#include "platform/linux/linux_hang_inspector.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/linux/proc_threads.h"
#include "platform/process_info.h"
#include "state/scoped_fd.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

// The helper's own deadline comes this much before the budget's end, so that
// what it finished is read before it is killed; the snapshot ends a little
// before the budget does, so that the caller's deadline does not beat it.
constexpr Seconds kHelperMargin{0.04};
constexpr Seconds kHandOverMargin{0.01};
// The helper prints one line a thread, and one more to say why it stopped.
constexpr size_t kMaxLines = ProcThreads::kMaxThreads + 2;
// Each helper killed that has not ended keeps a descriptor and a process;
// past this many something keeps them from ending, and no more are started.
constexpr size_t kMaxUnendedHelpers = 2;
// How many threads that were not unwound the stacks' status names.
constexpr size_t kNamedFailures = 8;
constexpr size_t kMaxErrorBytes = 200;

int pidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool pidfdKill(int pidfd) {
  return syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
}

// At most `limit` bytes of UTF-8 text, cut between characters.
std::string cut(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

// Starts the helper with its standard output on `out`, or says why not.
std::string spawnHelper(const std::string& path, int32_t pid, int milliseconds, int out,
                        pid_t& helper) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
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
  const std::string budgetText = std::to_string(milliseconds);
  char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(pidText.c_str()),
                        const_cast<char*>(budgetText.c_str()), nullptr};
  // No environment: nothing (DEBUGINFOD_URLS) sends libdw to the network.
  char* const envp[] = {nullptr};
  const int spawned = posix_spawn(&helper, path.c_str(), &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return spawned == 0 ? std::string() : "cannot run " + path + ": " + std::strerror(spawned);
}

// The helper's lines into the threads of `snapshot`, and its status.
HostHangSnapshot shaped(HostHangSnapshot snapshot, const std::string& output,
                        const std::string& failure) {
  size_t unwound = 0;
  std::string refusal;
  std::vector<std::string> notUnwound;
  size_t at = 0;
  while (at < output.size()) {
    const size_t end = output.find('\n', at);
    // A line cut off by the deadline is no line.
    if (end == std::string::npos) break;
    // The store's parser: the one the watchdog already has.
    const std::optional<nlohmann::json> parsed =
        WatchdogStore::parse(std::string_view(output).substr(at, end - at));
    at = end + 1;
    if (!parsed || !parsed->is_object()) continue;
    const nlohmann::json& line = *parsed;
    const auto tid = line.find("tid");
    const auto frames = line.find("frames");
    const auto error = line.find("error");
    const bool hasError = error != line.end() && error->is_string();
    if (tid == line.end()) {
      if (hasError) refusal = cut(error->get<std::string>(), kMaxErrorBytes);
      continue;
    }
    if (!tid->is_number_integer()) continue;
    const auto thread = std::find_if(
        snapshot.threads.begin(), snapshot.threads.end(),
        [&](const HostThreadSnapshot& each) { return each.tid == tid->get<int64_t>(); });
    // Each thread once: a helper that repeats itself adds nothing.
    if (thread == snapshot.threads.end() || !thread->stack.empty()) continue;
    if (frames == line.end() || !frames->is_array()) {
      if (hasError && notUnwound.size() <= kNamedFailures) {
        notUnwound.push_back(std::to_string(thread->tid) + ": " +
                             cut(error->get<std::string>(), kMaxErrorBytes));
      }
      continue;
    }
    for (const nlohmann::json& frame : *frames) {
      if (thread->stack.size() == LinuxHangInspector::kMaxFrames) break;
      if (frame.is_string()) {
        thread->stack.push_back(cut(frame.get<std::string>(), LinuxHangInspector::kMaxFrameBytes));
      }
    }
    if (!thread->stack.empty()) ++unwound;
  }
  const std::string counted =
      std::to_string(unwound) + " of " + std::to_string(snapshot.threads.size()) + " threads";
  if (!refusal.empty()) {
    snapshot.stacks = refusal;
  } else if (!failure.empty()) {
    snapshot.stacks = failure + (unwound ? " (" + counted + " unwound)" : std::string());
  } else if (!unwound) {
    snapshot.stacks = "no stack could be unwound";
  } else {
    snapshot.stacks = unwound == snapshot.threads.size() ? "unwound" : "unwound " + counted;
  }
  // Which threads were passed over, and why.
  for (size_t i = 0; i < notUnwound.size() && i < kNamedFailures; ++i) {
    snapshot.stacks += "; " + notUnwound[i];
  }
  if (notUnwound.size() > kNamedFailures) snapshot.stacks += "; and more";
  return snapshot;
}

}  // namespace

struct LinuxHangInspector::Helper {
  pid_t pid = 0;
  ScopedFd pidfd;
  bool reaped = false;
  // Declared after the pidfd, so that the watch ends before it is closed.
  std::unique_ptr<MainLoop::Subscription> ended;

  // True once it has ended and is reaped. The main loop may have reaped it
  // already (where it reaps every child); the pidfd names only this one.
  bool reap() {
    if (!reaped) {
      siginfo_t info{};
      const int got = waitid(P_PIDFD, static_cast<id_t>(pidfd.get()), &info, WEXITED | WNOHANG);
      reaped = (got == 0 && info.si_pid != 0) || (got < 0 && errno == ECHILD);
    }
    return reaped;
  }
};

struct LinuxHangInspector::Run {
  HostHangSnapshot snapshot;
  Completion done;
  ScopedFd out;
  std::unique_ptr<Helper> helper;
  // Declared after the descriptor, so that the watch ends before it is closed.
  std::unique_ptr<MainLoop::Subscription> readable;
  std::unique_ptr<MainLoop::Timer> deadline;
  std::string output;
  size_t lineStart = 0;
  size_t lines = 0;
  bool skippingLine = false;

  // Keeps whole lines of bounded length; false once no more is taken.
  bool take(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t newline = bytes.find('\n');
      const std::string_view piece = bytes.substr(0, newline == bytes.npos ? bytes.size() : newline + 1);
      bytes.remove_prefix(piece.size());
      if (!skippingLine) output.append(piece);
      if (!skippingLine && output.size() - lineStart > kMaxLineBytes) {
        // Longer than the stack of any thread: dropped whole.
        output.resize(lineStart);
        skippingLine = true;
      }
      if (newline == std::string_view::npos) break;
      if (skippingLine) {
        skippingLine = false;
        continue;
      }
      lineStart = output.size();
      if (++lines == kMaxLines) return false;
    }
    return output.size() < kMaxOutputBytes;
  }
};

LinuxHangInspector::LinuxHangInspector(LinuxMainLoop& loop, std::string unwinder)
    : loop_(loop), unwinder_(std::move(unwinder)) {}

LinuxHangInspector::~LinuxHangInspector() {
  if (run_ && run_->helper) pidfdKill(run_->helper->pidfd.get());
}

std::string LinuxHangInspector::besideThisExecutable() {
  std::string own = ProcessInfo::executablePath(getpid()).value_or("");
  own.resize(own.rfind('/') == std::string::npos ? 0 : own.rfind('/') + 1);
  return own + kUnwinderName;
}

HostCpuSample LinuxHangInspector::sampleCpu(int32_t pid) { return ProcThreads::cpuTimes(pid); }

void LinuxHangInspector::snapshot(int32_t pid, Seconds budget, Completion done) {
  // One at a time; an earlier one still running gives what it has.
  if (run_) finish("stopped for a later snapshot");
  HostHangSnapshot snapshot;
  auto now = [&snapshot](Completion& give) {
    give([snapshot = std::move(snapshot)] { return snapshot; });
  };
  // Before any attach, which would show every thread as traced.
  snapshot.threads = ProcThreads::read(pid, /*kernelStacks=*/true);
  if (snapshot.threads.empty()) {
    snapshot.stacks = "the process could not be read";
    return now(done);
  }
  if (access(unwinder_.c_str(), X_OK) != 0) {
    snapshot.stacks = "no " + std::string(kUnwinderName) + " beside the watchdog";
    return now(done);
  }
  std::erase_if(ending_, [](const std::unique_ptr<Helper>& helper) { return helper->reap(); });
  if (ending_.size() >= kMaxUnendedHelpers) {
    snapshot.stacks = "earlier " + std::string(kUnwinderName) + " processes have not ended";
    return now(done);
  }

  auto run = std::make_unique<Run>();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    snapshot.stacks = std::string("no pipe: ") + std::strerror(errno);
    return now(done);
  }
  run->out.reset(out[0]);
  ScopedFd helperEnd(out[1]);
  fcntl(run->out.get(), F_SETFL, O_NONBLOCK);
  const Seconds helperBudget = std::max(Seconds::zero(), budget - kHelperMargin);
  pid_t helper = 0;
  const std::string failure = spawnHelper(
      unwinder_, pid,
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(helperBudget).count()),
      helperEnd.get(), helper);
  helperEnd.reset();
  if (!failure.empty()) {
    snapshot.stacks = failure;
    return now(done);
  }
  // Before the loop runs again, so before anything can reap it: the pid is
  // still this very helper.
  run->helper = std::make_unique<Helper>();
  run->helper->pid = helper;
  run->helper->pidfd.reset(pidfdOpen(helper));
  if (!run->helper->pidfd.valid()) {
    kill(helper, SIGKILL);
    snapshot.stacks = std::string("cannot watch the helper: ") + std::strerror(errno);
    return now(done);
  }
  run->snapshot = std::move(snapshot);
  run->done = std::move(done);
  run->readable = loop_.watchReadable(run->out.get(), [this] { onOutput(); });
  run->helper->ended = loop_.watchReadable(run->helper->pidfd.get(), [this] { onHelperEnded(); });
  run->deadline =
      loop_.oneShotTimer(std::max(Seconds::zero(), budget - kHandOverMargin), Seconds::zero(),
                         [this] { finish("stopped at the time limit"); });
  const bool watched = run->readable && run->helper->ended && run->deadline;
  run_ = std::move(run);
  if (!watched) finish("cannot watch the helper");
}

void LinuxHangInspector::onOutput() {
  if (!run_) return;
  std::array<char, 64 << 10> buffer;
  const ssize_t got = read(run_->out.get(), buffer.data(), buffer.size());
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) return finish(got == 0 ? "" : std::string("cannot read: ") + std::strerror(errno));
  if (!run_->take(std::string_view(buffer.data(), static_cast<size_t>(got)))) {
    finish("stopped: more output than the stacks can take");
  }
}

// The helper has ended; whatever it wrote is still in the pipe.
void LinuxHangInspector::onHelperEnded() {
  if (!run_) return;
  run_->helper->reap();
  run_->helper->ended.reset();
  std::array<char, 64 << 10> buffer;
  for (;;) {
    const ssize_t got = read(run_->out.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (!run_->take(std::string_view(buffer.data(), static_cast<size_t>(got)))) {
      return finish("stopped: more output than the stacks can take");
    }
  }
  finish("");
}

void LinuxHangInspector::finish(std::string failure) {
  std::unique_ptr<Run> run = std::move(run_);
  if (!run) return;
  run->readable.reset();
  run->deadline.reset();
  if (!run->helper->reap()) {
    pidfdKill(run->helper->pidfd.get());
    letEnd(std::move(run->helper));
  }
  Completion done = std::move(run->done);
  done([snapshot = std::move(run->snapshot), output = std::move(run->output),
        failure = std::move(failure)]() mutable {
    return shaped(std::move(snapshot), output, failure);
  });
}

// Reaped when it ends, however late; the loop never waits for it.
void LinuxHangInspector::letEnd(std::unique_ptr<Helper> helper) {
  if (helper->reap()) return;
  Helper* raw = helper.get();
  // Its earlier watch belonged to the snapshot; one watch a descriptor.
  helper->ended.reset();
  helper->ended = loop_.watchReadable(helper->pidfd.get(), [this, raw] {
    if (!raw->reap()) return;
    // Freeing the watch that runs this callback is safe: the loop frees it after.
    std::erase_if(ending_, [raw](const std::unique_ptr<Helper>& each) { return each.get() == raw; });
  });
  ending_.push_back(std::move(helper));
}

}  // namespace veldane
