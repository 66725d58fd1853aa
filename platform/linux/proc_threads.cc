#include "platform/linux/proc_threads.h"

#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/proc_file.h"
#include "platform/linux/proc_stat.h"
#include "platform/linux/proc_thread_ids.h"
#include "platform/linux/utf8_repair.h"

namespace veldane {
namespace ProcThreads {
namespace {

// What the kernel gives is short; these only keep a report within what its
// readers take whatever a file holds.
constexpr size_t kMaxKernelFrames = 64;
constexpr size_t kMaxWaitText = 128;

// Cut to at most `limit` bytes, and made valid text: it goes into the report
// and the log, whose writers take nothing else.
std::string cleanText(std::string_view bytes, size_t limit) {
  std::string out(bytes.substr(0, limit));
  repairUtf8(out);
  return out;
}

// A small /proc file, whole; empty when it cannot be read. A thread's
// kernel stack of kMaxKernelFrames lines takes a few kilobytes.
std::string readSmall(const std::string& path) {
  std::array<char, 16 << 10> buffer;
  return std::string(readSmallFile(path.c_str(), buffer));
}

std::string taskPath(int32_t pid, int32_t tid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + entry;
}

const char* stateName(char code) {
  switch (code) {
    case 'R':
      return "running";
    case 'S':
      return "sleeping";
    case 'D':
      return "uninterruptible";
    case 'T':
      return "stopped";
    case 't':
      return "traced";
    case 'Z':
    case 'X':
      return "zombie";
    case 'I':
      return "idle";
    default:
      return "unknown";
  }
}

// Both CPU times of a thread's stat, in seconds.
double cpuSeconds(const ProcStat& stat) {
  static const long kTicksPerSecond = sysconf(_SC_CLK_TCK);
  return static_cast<double>(stat.userTicks + stat.systemTicks) /
         static_cast<double>(kTicksPerSecond > 0 ? kTicksPerSecond : 100);
}

// "[<0>] pipe_read+0x2d3/0x3e0" lines; the address is always hidden.
std::vector<std::string> kernelStack(const std::string& text) {
  std::vector<std::string> frames;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line = std::string_view(text).substr(at, end - at);
    if (const size_t space = line.find("] "); line.starts_with("[<") && space != line.npos) {
      line.remove_prefix(space + 2);
    }
    if (!line.empty()) frames.push_back(cleanText(line, kMaxWaitText));
    if (frames.size() == kMaxKernelFrames) break;
    at = end + 1;
  }
  return frames;
}

}  // namespace

std::vector<HostThreadSnapshot> read(int32_t pid, bool kernelStacks) {
  std::vector<HostThreadSnapshot> threads;
  if (pid < 1) return threads;
  for (int32_t tid : threadIds(pid)) {
    const std::string text = readSmall(taskPath(pid, tid, "stat"));
    const std::optional<ProcStat> stat = parseProcStat(text);
    // A thread that ended meanwhile is left out.
    if (!stat) continue;
    HostThreadSnapshot thread;
    thread.tid = tid;
    // The kernel cuts names at 15 bytes, inside a character as often as not.
    thread.name = cleanText(stat->name, stat->name.size());
    thread.state = stateName(stat->state);
    thread.cpuSeconds = cpuSeconds(*stat);
    // "0" while it runs, or where the kernel hides it.
    std::string wchan = readSmall(taskPath(pid, tid, "wchan"));
    if (!wchan.empty() && wchan != "0") thread.wchan = cleanText(wchan, kMaxWaitText);
    if (kernelStacks) thread.kernelStack = kernelStack(readSmall(taskPath(pid, tid, "stack")));
    threads.push_back(std::move(thread));
  }
  return threads;
}

HostCpuSample cpuTimes(int32_t pid) {
  HostCpuSample sample;
  if (pid < 1) return sample;
  for (int32_t tid : threadIds(pid)) {
    const std::string text = readSmall(taskPath(pid, tid, "stat"));
    if (const std::optional<ProcStat> stat = parseProcStat(text)) sample[tid] = cpuSeconds(*stat);
  }
  return sample;
}

}  // namespace ProcThreads
}  // namespace veldane
