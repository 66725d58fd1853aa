#include "platform/host_process_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <array>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string_view>

namespace veldane {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

// One U+FFFD for each byte that does not begin a valid sequence.
std::string repairedUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  auto left = static_cast<utf8proc_ssize_t>(bytes.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used > 0) {
      text.append(reinterpret_cast<const char*>(data), static_cast<size_t>(used));
    } else {
      text.append("\xEF\xBF\xBD");
    }
    const utf8proc_ssize_t step = used > 0 ? used : 1;
    data += step;
    left -= step;
  }
  return text;
}

std::string procPath(int32_t pid, const char* entry) {
  std::array<char, 48> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "/proc/%d/%s", static_cast<int>(pid), entry);
  return buffer.data();
}

// The kernel marks a link whose file has been unlinked or renamed over with
// the suffix; the process still runs the program that was at the path. A file
// whose real name ends in the suffix is told apart by its identity.
bool namesUnlinkedFile(const std::string& exeLink, const std::string& target) {
  if (!target.ends_with(kDeletedSuffix)) return false;
  struct stat running {};
  struct stat named {};
  if (::stat(exeLink.c_str(), &running) != 0) return true;
  return ::stat(target.c_str(), &named) != 0 || named.st_dev != running.st_dev ||
         named.st_ino != running.st_ino;
}

}  // namespace

namespace HostProcessInfo {

std::optional<std::string> executablePath(int32_t pid) {
  if (pid < 1) return std::nullopt;
  const std::string link = procPath(pid, "exe");
  std::string target(PATH_MAX, '\0');
  for (;;) {
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length < 1) return std::nullopt;
    if (static_cast<size_t>(length) < target.size()) {
      target.resize(static_cast<size_t>(length));
      break;
    }
    target.resize(target.size() * 2);
  }
  if (namesUnlinkedFile(link, target)) target.resize(target.size() - kDeletedSuffix.size());
  if (target.empty()) return std::nullopt;
  return repairedUtf8(target);
}

std::string bootSession() {
  std::ifstream file("/proc/sys/kernel/random/boot_id");
  std::string value;
  if (!std::getline(file, value) || value.empty()) return "unknown";
  return repairedUtf8(value);
}

bool isTraced(int32_t pid) {
  if (pid < 1) return false;
  std::array<char, 48> path{};
  std::snprintf(path.data(), path.size(), "/proc/%d/status", static_cast<int>(pid));
  const int fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // TracerPid comes within the first few hundred bytes.
  std::array<char, 1024> buffer{};
  size_t filled = 0;
  while (filled < buffer.size() - 1) {
    const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - 1 - filled);
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
  }
  ::close(fd);
  const std::string_view status(buffer.data(), filled);
  constexpr std::string_view kKey = "\nTracerPid:";
  const size_t at = status.find(kKey);
  if (at == std::string_view::npos) return false;
  for (size_t i = at + kKey.size(); i < status.size(); ++i) {
    const char c = status[i];
    if (c == ' ' || c == '\t') continue;
    return c >= '1' && c <= '9';
  }
  return false;
}

}  // namespace HostProcessInfo
}  // namespace veldane
