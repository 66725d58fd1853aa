// veldane-hang-stacks PID MILLISECONDS: the user-space stack of every thread
// of process PID, symbolised with libdw, within MILLISECONDS. The watchdog
// runs it just before it ends a hung host, so that the watchdog itself never
// maps libdw. It prints one JSON object a line, flushed at once, so that
// whatever it finished before being stopped is kept:
//
//   {"error":"..."}                  nothing could be attached (exit status 1)
//   {"tid":N,"frames":["f (x.cc:12)", "read (read.c:26) [libc.so.6]", ...]}
//                                    innermost frame first; the system's
//                                    libraries in brackets
//   {"tid":N,"error":"..."}          this thread's stack could not be read
//
// Every thread is seized (PTRACE_SEIZE and PTRACE_INTERRUPT, no SIGSTOP), so
// that a helper killed half-way leaves nothing stopped: the kernel detaches
// a dead tracer's tracees and drops their pending stops.
#include <cxxabi.h>
#include <dirent.h>
#include <elfutils/libdwfl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr size_t kMaxFrames = 64;
constexpr size_t kMaxThreads = 256;

void emit(const json& line) {
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::vector<pid_t> threadIds(pid_t pid) {
  std::vector<pid_t> tids;
  DIR* task = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (task == nullptr) return tids;
  while (const dirent* entry = readdir(task)) {
    pid_t tid = 0;
    const std::string_view name = entry->d_name;
    if (std::from_chars(name.data(), name.data() + name.size(), tid).ptr ==
        name.data() + name.size()) {
      tids.push_back(tid);
    }
  }
  closedir(task);
  std::sort(tids.begin(), tids.end(),
            [pid](pid_t a, pid_t b) { return (a == pid) != (b == pid) ? a == pid : a < b; });
  if (tids.size() > kMaxThreads) tids.resize(kMaxThreads);
  return tids;
}

std::string baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool isSystemLibrary(std::string_view path) {
  for (std::string_view folder : {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"}) {
    if (path.starts_with(folder)) return true;
  }
  return path.starts_with("[");  // [vdso]
}

std::string demangled(const char* name) {
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string text(plain);
  std::free(plain);
  return text;
}

struct Unwind {
  Dwfl* dwfl;
  Clock::time_point deadline;
  std::vector<std::string> frames;
};

int onFrame(Dwfl_Frame* frame, void* arg) {
  Unwind& unwind = *static_cast<Unwind*>(arg);
  Dwarf_Addr pc = 0;
  bool activation = false;
  if (!dwfl_frame_pc(frame, &pc, &activation)) return DWARF_CB_ABORT;
  // A return address points after the call; the call itself names the line.
  const Dwarf_Addr at = activation ? pc : pc - 1;
  Dwfl_Module* module = dwfl_addrmodule(unwind.dwfl, at);
  const char* function = module ? dwfl_module_addrname(module, at) : nullptr;
  std::string text;
  if (function != nullptr) {
    text = demangled(function);
  } else {
    char address[32];
    std::snprintf(address, sizeof address, "0x%" PRIx64, static_cast<uint64_t>(at));
    text = address;
  }
  int line = 0;
  const char* file = nullptr;
  if (Dwfl_Line* source = module ? dwfl_module_getsrc(module, at) : nullptr) {
    file = dwfl_lineinfo(source, nullptr, &line, nullptr, nullptr, nullptr);
  }
  const char* path = module ? dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr)
                            : nullptr;
  if (file != nullptr && line > 0) text += " (" + baseName(file) + ":" + std::to_string(line) + ")";
  // The system's libraries in brackets, so that the host's own frames stand out.
  if (path != nullptr && isSystemLibrary(path)) {
    text += " [" + baseName(path) + "]";
  } else if (path != nullptr && (file == nullptr || line <= 0)) {
    text += " (" + baseName(path) + ")";
  }
  unwind.frames.push_back(std::move(text));
  if (unwind.frames.size() >= kMaxFrames || Clock::now() > unwind.deadline) return DWARF_CB_ABORT;
  return DWARF_CB_OK;
}

}  // namespace

int main(int argc, char** argv) {
  pid_t pid = 0;
  int milliseconds = 0;
  if (argc != 3 ||
      std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), pid).ec != std::errc{} ||
      std::from_chars(argv[2], argv[2] + std::strlen(argv[2]), milliseconds).ec != std::errc{} ||
      pid < 1) {
    std::fprintf(stderr, "usage: veldane-hang-stacks PID MILLISECONDS\n");
    return 2;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

  std::vector<pid_t> seized;
  for (pid_t tid : threadIds(pid)) {
    if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0) {
      seized.push_back(tid);
    } else if (tid == pid || seized.empty()) {
      // Refused for one thread, refused for all: Yama, a non-dumpable process,
      // another tracer, or no permission.
      emit({{"error", std::string("not permitted to attach: ") + std::strerror(errno)}});
      return 1;
    }
  }
  if (seized.empty()) {
    emit({{"error", "no such process"}});
    return 1;
  }
  for (pid_t tid : seized) ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
  // A thread in an uninterruptible wait stops only once the wait is over.
  std::vector<pid_t> stopped;
  std::vector<pid_t> waiting = seized;
  while (!waiting.empty() && Clock::now() < deadline) {
    std::erase_if(waiting, [&](pid_t tid) {
      int status = 0;
      const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
      if (got == tid && WIFSTOPPED(status)) stopped.push_back(tid);
      return got == tid || (got < 0 && errno == ECHILD);
    });
    if (!waiting.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  const Dwfl_Callbacks callbacks = {
      .find_elf = dwfl_linux_proc_find_elf,
      .find_debuginfo = dwfl_standard_find_debuginfo,
      .section_address = nullptr,
      .debuginfo_path = nullptr,
  };
  Dwfl* dwfl = dwfl_begin(&callbacks);
  const bool ready = dwfl != nullptr && dwfl_linux_proc_report(dwfl, pid) == 0 &&
                     dwfl_report_end(dwfl, nullptr, nullptr) == 0 &&
                     dwfl_linux_proc_attach(dwfl, pid, /*assume_ptrace_stopped=*/true) == 0;
  for (pid_t tid : seized) {
    if (!ready || Clock::now() > deadline) break;
    if (std::find(stopped.begin(), stopped.end(), tid) == stopped.end()) {
      emit({{"tid", tid}, {"error", "did not stop in time"}});
      continue;
    }
    Unwind unwind{dwfl, deadline, {}};
    // Ends with an error at the outermost frame as often as not; the frames
    // found until then stand.
    dwfl_getthread_frames(dwfl, tid, onFrame, &unwind);
    if (unwind.frames.empty()) {
      emit({{"tid", tid}, {"error", dwfl_errmsg(-1)}});
    } else {
      emit({{"tid", tid}, {"frames", unwind.frames}});
    }
  }
  if (!ready) emit({{"error", std::string("cannot read the process: ") + dwfl_errmsg(-1)}});
  if (dwfl != nullptr) dwfl_end(dwfl);
  // Threads still running cannot be detached by hand; exiting detaches them.
  for (pid_t tid : stopped) ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  return ready ? 0 : 1;
}
