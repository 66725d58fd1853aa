#include "VeldaneWatchdog/hang_diagnosis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace veldane {
namespace HangDiagnosis {
namespace {

// A thread that runs (or waits for a core) right now spins, and so does one
// that used a quarter of a core since the sample: on a busy machine a
// spinning thread gets no more than its share.
bool spinning(const HostThreadSnapshot& thread, const WatchdogHangReport& report) {
  if (thread.state == "running") return true;
  return thread.cpuSinceSample && report.sampleSeconds && *report.sampleSeconds > 0 &&
         *thread.cpuSinceSample >= 0.25 * *report.sampleSeconds;
}

std::string wholeSeconds(double seconds) {
  return std::to_string(static_cast<long long>(std::llround(seconds))) + " s";
}

std::string cpuText(double seconds) {
  char text[32];
  if (seconds < 1) {
    std::snprintf(text, sizeof text, "%lld ms",
                  static_cast<long long>(std::llround(seconds * 1000)));
  } else {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  }
  return text;
}

// The innermost frame outside the system's libraries (which the unwinder
// marks "[libc.so.6]"): the host's own code rather than the call it waits in.
const std::string* ownFrame(const std::vector<std::string>& stack) {
  for (const std::string& frame : stack) {
    if (!frame.ends_with("]")) return &frame;
  }
  return stack.empty() ? nullptr : &stack.front();
}

std::string wait(const HostThreadSnapshot& thread) {
  if (thread.wchan) return *thread.wchan;
  if (!thread.kernelStack.empty()) {
    const std::string& top = thread.kernelStack.front();
    return top.substr(0, top.find('+'));
  }
  return "an unknown wait";
}

std::string describe(const HostThreadSnapshot& thread, const WatchdogHangReport& report,
                     const std::string& who) {
  if (spinning(thread, report)) {
    std::string text = who + " spinning";
    if (!thread.stack.empty()) text += " in user space in " + thread.stack.front();
    return text + " for " + wholeSeconds(report.secondsSilent);
  }
  std::string text = who;
  if (thread.state == "stopped" || thread.state == "traced") {
    text += " stopped";
  } else if (thread.state == "zombie") {
    text += " exiting";
  } else {
    text += (thread.state == "uninterruptible" ? " blocked uninterruptibly in " : " blocked in ") +
            wait(thread);
  }
  if (const std::string* frame = ownFrame(thread.stack)) text += " from " + *frame;
  if (thread.cpuSinceSample && report.sampleSeconds) {
    text += "; " + cpuText(*thread.cpuSinceSample) + " CPU in the last " +
            wholeSeconds(*report.sampleSeconds);
  } else {
    text += "; " + cpuText(thread.cpuSeconds) + " CPU since it started";
  }
  return text;
}

}  // namespace

WatchdogHangReport report(const Evidence& evidence) {
  WatchdogHangReport out;
  out.pid = evidence.pid;
  out.launchID = evidence.launchID;
  out.at = evidence.at;
  out.secondsSilent = evidence.secondsSilent;
  out.hangLimitSeconds = evidence.hangLimitSeconds;
  out.snapshotSeconds = evidence.snapshotSeconds;
  if (evidence.sample) out.sampleSeconds = evidence.sampleSeconds;
  if (evidence.snapshot) {
    out.threads = evidence.snapshot->threads;
    out.stacks = evidence.snapshot->stacks;
  } else {
    out.stacks = "the snapshot did not finish within its time";
  }
  for (HostThreadSnapshot& thread : out.threads) {
    if (!evidence.sample) continue;
    // A thread born after the sample has used all its time since.
    auto before = evidence.sample->find(thread.tid);
    const double base = before == evidence.sample->end() ? 0 : before->second;
    thread.cpuSinceSample = std::max(0.0, thread.cpuSeconds - base);
  }
  out.summary = summary(out);
  return out;
}

std::string summary(const WatchdogHangReport& report) {
  if (report.threads.empty()) return "no thread of the host could be read (" + report.stacks + ")";
  const HostThreadSnapshot& main = report.threads.front();
  std::string text =
      describe(main, report, main.tid == report.pid ? "main thread" : "thread " + main.name);
  if (spinning(main, report) && main.stack.empty()) text += "; no stack: " + report.stacks;
  size_t others = 0;
  for (size_t i = 1; i < report.threads.size(); ++i) {
    if (!spinning(report.threads[i], report)) continue;
    if (++others <= 2) {
      const HostThreadSnapshot& thread = report.threads[i];
      text += "; " + describe(thread, report,
                              "thread " + thread.name + " (" + std::to_string(thread.tid) + ")");
    }
  }
  if (others > 2) text += "; " + std::to_string(others - 2) + " more threads spinning";
  return text;
}

std::string message(const WatchdogHangReport& report) {
  return "Hung host pid " + std::to_string(report.pid) + ": " + report.summary;
}

LogFields journalFields(const WatchdogHangReport& report, const std::string& reportPath) {
  std::string states;
  std::string stacks;
  for (const HostThreadSnapshot& thread : report.threads) {
    states += std::to_string(thread.tid) + " " + thread.name + ": " + thread.state;
    if (thread.wchan) states += " in " + *thread.wchan;
    states += ", " + cpuText(thread.cpuSeconds) + " CPU";
    if (thread.cpuSinceSample) {
      states += " (" + cpuText(*thread.cpuSinceSample) + " since the sample)";
    }
    states += "\n";
    stacks += "thread " + std::to_string(thread.tid) + " (" + thread.name + ")\n";
    for (const std::string& frame : thread.kernelStack) stacks += "  [kernel] " + frame + "\n";
    for (size_t i = 0; i < thread.stack.size(); ++i) {
      stacks += "  #" + std::to_string(i) + " " + thread.stack[i] + "\n";
    }
  }
  char silent[32];
  std::snprintf(silent, sizeof silent, "%.1f", report.secondsSilent);
  return {
      {"HOST_PID", std::to_string(report.pid)},
      {"HOST_LAUNCH_ID", report.launchID.value_or("")},
      {"SECONDS_SILENT", silent},
      {"THREAD_COUNT", std::to_string(report.threads.size())},
      {"THREAD_STATES", states},
      {"STACKS_STATUS", report.stacks},
      {"STACKS", stacks},
      {"HANG_REPORT", reportPath},
  };
}

}  // namespace HangDiagnosis
}  // namespace veldane
