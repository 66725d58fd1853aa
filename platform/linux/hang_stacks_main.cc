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
//   {"tid":N,"error":"..."}          this thread's stack could not be read:
//                                    it has ended, could not be attached or
//                                    did not stop in time
//
// Every thread is seized (PTRACE_SEIZE and PTRACE_INTERRUPT, no SIGSTOP), so
// that a helper killed half-way leaves nothing stopped: the kernel detaches
// a dead tracer's tracees and drops their pending stops. That holds only for
// a helper that can die: one waiting on a file system that stopped answering
// (FUSE, NFS, SMB) cannot, and would hold the host stopped for good. So the
// process's maps and executable are read before any thread is stopped, and
// no file on such a file system is opened at all, as the mount tables tell (no statfs, which would
// wait on it too). The modules' files on other file systems are opened as
// their frames need them, as before: opening all of them first cost the
// snapshot more than the host's stop.
#include <cxxabi.h>
#include <fcntl.h>
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
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/linux/proc_stat.h"
#include "platform/linux/proc_thread_ids.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr size_t kMaxFrames = 64;
constexpr size_t kMaxFrameBytes = 1024;
// A thread in an uninterruptible wait does not stop until the wait is over;
// the others are not kept waiting for it beyond this part of the budget.
constexpr double kStopShare = 0.25;
constexpr auto kLongestStopWait = std::chrono::milliseconds(100);

void emit(const json& line) {
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The state letter of /proc/PID/task/TID/stat, '?' when it cannot be read.
char threadState(pid_t pid, pid_t tid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  const std::optional<veldane::ProcStat> stat = veldane::parseProcStat(text);
  return stat ? stat->state : '?';
}

// Mount points whose file system may never answer, from mountinfo tables.
// A path is judged by the mount that holds it: the longest mount point that
// is a prefix of it, the later of equal ones.
class MountTable {
 public:
  void read(const std::string& path) {
    std::ifstream table(path);
    for (std::string line; std::getline(table, line);) {
      // "36 35 98:0 /root /mount/point options ... - type source super-options"
      std::vector<std::string_view> fields;
      std::string_view rest = line;
      while (!rest.empty()) {
        const size_t space = rest.find(' ');
        fields.push_back(rest.substr(0, space));
        rest = space == rest.npos ? std::string_view() : rest.substr(space + 1);
      }
      const auto dash = std::find(fields.begin(), fields.end(), "-");
      if (fields.size() < 5 || dash == fields.end() || dash + 1 == fields.end()) continue;
      mounts_.push_back({unescaped(fields[4]), typeMayHang(dash[1])});
    }
  }

  bool mayHang(std::string_view path) const {
    size_t best = 0;
    bool hangs = false;
    for (const Mount& mount : mounts_) {
      const std::string& point = mount.point;
      const bool holds = point == "/" || path == point ||
                         (path.starts_with(point) && path.size() > point.size() &&
                          path[point.size()] == '/');
      if (holds && point.size() >= best) {
        best = point.size();
        hangs = mount.mayHang;
      }
    }
    return hangs;
  }

 private:
  struct Mount {
    std::string point;
    bool mayHang;
  };

  // FUSE (sshfs and the like), network and cluster file systems.
  static bool typeMayHang(std::string_view type) {
    if (type == "fuse" || type == "fuseblk" || type.starts_with("fuse.")) return true;
    for (std::string_view network : {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "afs", "ceph",
                                     "glusterfs", "lustre", "gfs2", "ocfs2", "ncpfs", "coda",
                                     "virtiofs", "davfs", "orangefs", "beegfs", "gpfs"}) {
      if (type == network) return true;
    }
    return false;
  }

  // Spaces, tabs, line breaks and backslashes are written as octal escapes.
  static std::string unescaped(std::string_view field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
      if (field[i] == '\\' && i + 3 < field.size()) {
        int value = 0;
        const auto [end, error] = std::from_chars(field.data() + i + 1, field.data() + i + 4,
                                                  value, 8);
        if (error == std::errc{} && end == field.data() + i + 4) {
          out += static_cast<char>(value);
          i += 3;
          continue;
        }
      }
      out += field[i];
    }
    return out;
  }

  std::vector<Mount> mounts_;
};

MountTable gMayHang;

const char* threadStateName(char state) {
  switch (state) {
    case 'D':
      return "in an uninterruptible wait";
    case 'T':
    case 't':
      return "stopped";
    case 'R':
      return "running";
    default:
      return "waiting";
  }
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
  if (text.size() > kMaxFrameBytes) text.resize(kMaxFrameBytes);
  unwind.frames.push_back(std::move(text));
  if (unwind.frames.size() >= kMaxFrames || Clock::now() > unwind.deadline) return DWARF_CB_ABORT;
  return DWARF_CB_OK;
}

// A module's file is opened only where it cannot hang. Refused, it is not
// read from the process's memory either: its pages come from the same file.
int findElf(Dwfl_Module* module, void** userdata, const char* name, Dwarf_Addr base,
            char** fileName, Elf** elf) {
  if (name != nullptr && name[0] == '/' && gMayHang.mayHang(name)) {
    *elf = nullptr;
    return -1;
  }
  return dwfl_linux_proc_find_elf(module, userdata, name, base, fileName, elf);
}

int findDebuginfo(Dwfl_Module* module, void** userdata, const char* name, Dwarf_Addr base,
                  const char* fileName, const char* debuglink, GElf_Word crc,
                  char** debuginfoFile) {
  for (const char* path : {name, fileName, "/usr/lib/debug"}) {
    if (path != nullptr && path[0] == '/' && gMayHang.mayHang(path)) return -1;
  }
  return dwfl_standard_find_debuginfo(module, userdata, name, base, fileName, debuglink, crc,
                                      debuginfoFile);
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
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(milliseconds);

  // A main thread that has ended leaves a zombie whose maps are empty and
  // which cannot be attached; the process is read through a live thread.
  const std::vector<int32_t> tids = veldane::ProcThreads::threadIds(pid);
  std::vector<bool> ended(tids.size());
  pid_t live = 0;
  for (size_t i = 0; i < tids.size(); ++i) {
    const char state = threadState(pid, tids[i]);
    ended[i] = state == 'Z' || state == 'X' || state == '?';
    if (!ended[i] && live == 0) live = tids[i];
  }
  if (live == 0) {
    emit({{"error", "no such process"}});
    return 1;
  }

  // Before anything is stopped: the modules, their files, and the state.
  gMayHang.read("/proc/" + std::to_string(live) + "/mountinfo");
  gMayHang.read("/proc/self/mountinfo");
  char executable[4096];
  const ssize_t length = readlink(("/proc/" + std::to_string(live) + "/exe").c_str(), executable,
                                  sizeof executable - 1);
  executable[std::max<ssize_t>(length, 0)] = '\0';
  if (length > 0 && gMayHang.mayHang(executable)) {
    // libdw opens the executable to learn the machine; it may never return.
    emit({{"error", "the executable is on a file system that may not answer"}});
    return 1;
  }
  const Dwfl_Callbacks callbacks = {
      .find_elf = findElf,
      .find_debuginfo = findDebuginfo,
      .section_address = nullptr,
      .debuginfo_path = nullptr,
  };
  Dwfl* dwfl = dwfl_begin(&callbacks);
  bool ready = dwfl != nullptr && dwfl_linux_proc_report(dwfl, live) == 0 &&
               dwfl_report_end(dwfl, nullptr, nullptr) == 0;
  // Opens the executable, to learn the machine: before anything is stopped.
  ready = ready && dwfl_linux_proc_attach(dwfl, live, /*assume_ptrace_stopped=*/true) == 0;
  if (!ready) {
    // The maps are hidden from those who may not attach: say which it is. A
    // seize without an interrupt stops nothing, and exiting lets it go.
    if (ptrace(PTRACE_SEIZE, live, nullptr, nullptr) != 0) {
      emit({{"error", std::string("not permitted to attach: ") + std::strerror(errno)}});
    } else {
      emit({{"error", std::string("cannot read the process: ") + dwfl_errmsg(-1)}});
    }
    if (dwfl != nullptr) dwfl_end(dwfl);
    return 1;
  }

  // Threads that cannot be seized are passed over; only when none can be is
  // it a matter of permission (Yama, a non-dumpable process, another tracer).
  std::vector<pid_t> seized;
  std::vector<json> passedOver;
  int refusal = 0;
  for (size_t i = 0; i < tids.size(); ++i) {
    if (ended[i]) {
      passedOver.push_back({{"tid", tids[i]}, {"error", "it has ended"}});
    } else if (ptrace(PTRACE_SEIZE, tids[i], nullptr, nullptr) == 0) {
      seized.push_back(tids[i]);
    } else {
      refusal = errno;
      passedOver.push_back(
          {{"tid", tids[i]}, {"error", std::string("cannot be attached: ") + std::strerror(errno)}});
    }
  }
  if (seized.empty()) {
    emit({{"error", refusal ? std::string("not permitted to attach: ") + std::strerror(refusal)
                            : std::string("no such process")}});
    dwfl_end(dwfl);
    return 1;
  }
  for (pid_t tid : seized) ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
  // A thread in an uninterruptible wait stops only once the wait is over.
  const Clock::time_point stopsFrom = Clock::now();
  const Clock::time_point stopsUntil =
      std::min(deadline, stopsFrom + std::min<Clock::duration>(
                                         std::chrono::duration_cast<Clock::duration>(
                                             (deadline - stopsFrom) * kStopShare),
                                         kLongestStopWait));
  std::vector<pid_t> stopped;
  std::vector<pid_t> waiting = seized;
  while (!waiting.empty() && Clock::now() < stopsUntil) {
    std::erase_if(waiting, [&](pid_t tid) {
      int status = 0;
      const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
      if (got == tid && WIFSTOPPED(status)) stopped.push_back(tid);
      return got == tid || (got < 0 && errno == ECHILD);
    });
    if (!waiting.empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  for (const json& line : passedOver) emit(line);
  for (pid_t tid : seized) {
    if (std::find(stopped.begin(), stopped.end(), tid) == stopped.end()) {
      const bool gone = std::find(waiting.begin(), waiting.end(), tid) == waiting.end();
      emit({{"tid", tid},
            {"error", gone ? std::string("it has ended")
                           : "did not stop within " +
                                 std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    stopsUntil - stopsFrom)
                                                    .count()) +
                                 " ms (" + threadStateName(threadState(pid, tid)) + ")"}});
      continue;
    }
    if (Clock::now() > deadline) {
      emit({{"tid", tid}, {"error", "no time left"}});
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
  // Threads still running cannot be detached by hand; exiting detaches them.
  for (pid_t tid : stopped) ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  dwfl_end(dwfl);
  return 0;
}
