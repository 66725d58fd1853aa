#include "platform/linux/proc_thread_ids.h"

#include <dirent.h>

#include <charconv>
#include <string>
#include <string_view>

namespace veldane {
namespace ProcThreads {

// A main thread that has ended is listed all the same: reading it fails and
// says so.
std::vector<int32_t> threadIds(int32_t pid) {
  std::vector<int32_t> tids;
  DIR* task = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (task == nullptr) return tids;
  tids.push_back(pid);
  while (const dirent* entry = ::readdir(task)) {
    int32_t tid = 0;
    const std::string_view name = entry->d_name;
    if (std::from_chars(name.data(), name.data() + name.size(), tid).ptr !=
            name.data() + name.size() ||
        tid == pid) {
      continue;
    }
    if (tids.size() < kMaxThreads) tids.push_back(tid);
  }
  ::closedir(task);
  return tids;
}

}  // namespace ProcThreads
}  // namespace veldane
