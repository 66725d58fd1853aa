#include "platform/macos/macos_hang_inspector.h"

#include <libproc.h>
#include <sys/proc_info.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace veldane {
namespace {

// Private in older SDKs; XNU has answered it since macOS 10.12. Unlike
// PROC_PIDLISTTHREADS, which gives each thread's user-space handle, it gives
// the thread ids that Activity Monitor, sample and spindump show.
#ifndef PROC_PIDLISTTHREADIDS
#define PROC_PIDLISTTHREADIDS 28
#endif

struct Thread {
  int64_t tid = 0;
  proc_threadinfo info{};
};

// Every thread of `pid` in the kernel's order, the main thread first; empty
// when the process cannot be read.
std::vector<Thread> threadsOf(int32_t pid) {
  if (pid < 1) return {};
  proc_taskinfo task{};
  if (proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task) != static_cast<int>(sizeof task)) {
    return {};
  }
  // Room for threads started between the two calls.
  std::vector<uint64_t> ids(static_cast<size_t>(task.pti_threadnum) + 16);
  const int bytes = proc_pidinfo(pid, PROC_PIDLISTTHREADIDS, 0, ids.data(),
                                 static_cast<int>(ids.size() * sizeof(uint64_t)));
  if (bytes < 1) return {};
  ids.resize(static_cast<size_t>(bytes) / sizeof(uint64_t));
  std::vector<Thread> threads;
  for (uint64_t id : ids) {
    Thread thread;
    if (proc_pidinfo(pid, PROC_PIDTHREADID64INFO, id, &thread.info, sizeof thread.info) !=
        static_cast<int>(sizeof thread.info)) {
      continue;  // ended meanwhile
    }
    thread.tid = static_cast<int64_t>(id);
    threads.push_back(thread);
  }
  return threads;
}

double cpuSeconds(const proc_threadinfo& info) {
  return static_cast<double>(info.pth_user_time + info.pth_system_time) / 1e9;
}

std::string stateName(int32_t state) {
  switch (state) {
    case TH_STATE_RUNNING:
      return "running";
    case TH_STATE_WAITING:
      return "sleeping";
    case TH_STATE_UNINTERRUPTIBLE:
      return "uninterruptible";
    case TH_STATE_STOPPED:
    case TH_STATE_HALTED:
      return "stopped";
    default:
      return "unknown";
  }
}

}  // namespace

HostCpuSample MacosHangInspector::sampleCpu(int32_t pid) {
  HostCpuSample sample;
  for (const Thread& thread : threadsOf(pid)) sample[thread.tid] = cpuSeconds(thread.info);
  return sample;
}

void MacosHangInspector::snapshot(int32_t pid, Seconds /*budget*/, Completion done) {
  HostHangSnapshot snapshot;
  for (const Thread& thread : threadsOf(pid)) {
    HostThreadSnapshot entry;
    entry.tid = thread.tid;
    entry.name = std::string(thread.info.pth_name,
                             strnlen(thread.info.pth_name, sizeof thread.info.pth_name));
    entry.state = stateName(thread.info.pth_run_state);
    entry.cpuSeconds = cpuSeconds(thread.info);
    snapshot.threads.push_back(std::move(entry));
  }
  snapshot.stacks = snapshot.threads.empty()
                        ? "the process could not be read"
                        : "no stacks on macOS: reading another process takes task_for_pid";
  done([snapshot = std::move(snapshot)] { return snapshot; });
}

}  // namespace veldane
