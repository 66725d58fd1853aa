#include "platform/process_info.h"

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/macos/cf_ref.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/uptime_clock.h"

namespace veldane {
namespace {

bool isValidUtf8(std::string_view bytes) {
  if (bytes.empty()) return true;
  CFRef<CFStringRef> decoded(
      CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.data()),
                              static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false));
  return static_cast<bool>(decoded);
}

// The length of the well-formed sequence at the start of `bytes` (Unicode's
// table 3-7), or 0.
size_t sequenceLength(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// CoreFoundation refuses invalid UTF-8 rather than repair it: one U+FFFD for
// each byte that begins no valid sequence, as on Linux.
void repairUtf8(std::string& bytes) {
  if (isValidUtf8(bytes)) return;
  std::string text;
  text.reserve(bytes.size());
  std::string_view rest(bytes);
  while (!rest.empty()) {
    const size_t length = sequenceLength(rest);
    if (length > 0) {
      text.append(rest.substr(0, length));
    } else {
      text.append("\xEF\xBF\xBD");
    }
    rest.remove_prefix(length > 0 ? length : 1);
  }
  bytes = std::move(text);
}

// The bytes before the first zero byte.
std::string_view untilZero(const char* buffer, size_t size) {
  return std::string_view(buffer, strnlen(buffer, size));
}

}  // namespace

namespace ProcessInfo {

std::optional<std::string> executablePath(int32_t pid) {
  if (pid < 1) return std::nullopt;
  std::array<char, PROC_PIDPATHINFO_MAXSIZE> buffer{};
  if (proc_pidpath(pid, buffer.data(), static_cast<uint32_t>(buffer.size())) < 1) {
    return std::nullopt;
  }
  std::string path(untilZero(buffer.data(), buffer.size()));
  if (path.empty()) return std::nullopt;
  repairUtf8(path);
  return path;
}

std::string bootSession() {
  size_t length = 0;
  if (sysctlbyname("kern.bootsessionuuid", nullptr, &length, nullptr, 0) != 0 || length < 1) {
    return "unknown";
  }
  std::string buffer(length, '\0');
  if (sysctlbyname("kern.bootsessionuuid", buffer.data(), &length, nullptr, 0) != 0) {
    return "unknown";
  }
  std::string session(untilZero(buffer.data(), std::min(length, buffer.size())));
  repairUtf8(session);
  return session;
}

bool isTraced(int32_t pid) {
  kinfo_proc info{};
  size_t size = sizeof info;
  int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
  if (sysctl(name, 4, &info, &size, nullptr, 0) != 0) return false;
  return (info.kp_proc.p_flag & P_TRACED) != 0;
}

bool isCurrentUsersProcess(int32_t pid) {
  if (pid < 1) return false;
  proc_bsdinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info)) {
    return false;
  }
  const uid_t own = ::getuid();
  return info.pbi_ruid == own && info.pbi_uid == own;
}

std::optional<Seconds> startUptime(int32_t pid) {
  if (pid < 1) return std::nullopt;
  proc_bsdinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info)) {
    return std::nullopt;
  }
  // The kernel keeps the start as a wall-clock time; its distance from now
  // is what carries over to the uptime clock.
  timeval now{};
  if (::gettimeofday(&now, nullptr) != 0) return std::nullopt;
  const Seconds ago(
      static_cast<double>(now.tv_sec) - static_cast<double>(info.pbi_start_tvsec) +
      (static_cast<double>(now.tv_usec) - static_cast<double>(info.pbi_start_tvusec)) / 1e6);
  return systemUptime() - ago;
}

}  // namespace ProcessInfo
}  // namespace veldane
