#include "demo/demo_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

namespace veldane {
namespace {

// O_APPEND makes each write land whole at the end, whichever start writes.
void appendLine(const std::filesystem::path& file, const std::string& line) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + '\n';
  [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
  close(fd);
}

std::vector<std::string> lines(const std::filesystem::path& file) {
  std::vector<std::string> result;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace

size_t DemoControl::logLaunch(pid_t pid, const std::vector<std::string>& arguments) const {
  std::string line = std::to_string(pid);
  for (const std::string& argument : arguments) line += " " + argument;
  appendLine(folder / "launches", line);
  const std::vector<std::string> log = lines(folder / "launches");
  // Counted up to this start's own line, the last one like it (its pid is
  // alive, so no later start has it), so that a start logged just after it
  // does not shift its number.
  const auto own = std::find(log.rbegin(), log.rend(), line);
  return static_cast<size_t>(log.rend() - own);
}

DemoStep DemoControl::step(size_t launch) const {
  const std::vector<std::string> plan = lines(folder / "plan");
  if (plan.empty()) return {};
  return DemoStep::parse(plan[std::clamp<size_t>(launch, 1, plan.size()) - 1]);
}

void DemoControl::note(const std::string& event, nlohmann::json fields) const {
  try {
    const std::chrono::duration<double> since = std::chrono::system_clock::now().time_since_epoch();
    fields["at"] = since.count();
    fields["event"] = event;
    appendLine(folder / "events",
               fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  } catch (...) {
    // A lost line is the demo's loss only; the host goes on.
  }
}

}  // namespace veldane
