#ifndef VELDANE_PLATFORM_LINUX_SYSTEMD_UNIT_NAME_H_
#define VELDANE_PLATFORM_LINUX_SYSTEMD_UNIT_NAME_H_

#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// systemd's names for the watchdog's user unit and the host's scopes.
// libsystemd keeps its own escaping to itself, so its documented rule is
// followed here.
namespace SystemdUnitName {

// The template that every bundle's watchdog is an instance of.
inline constexpr char kWatchdogTemplate[] = "veldane-watchdog@.service";

// `text` as "systemd-escape" gives a text without "/": every byte other than
// an ASCII letter, digit, ":", "_" or a "." that does not lead as "\xNN"
// (lower-case hex).
std::string escaped(std::string_view text);

// `path` as "systemd-escape --path" gives it: repeated, trailing and leading
// "/" and "." components dropped, then "/" as "-", and every byte other than
// an ASCII letter, digit, ":", "_" or a "." that does not lead as "\xNN"
// (lower-case hex). "/" (and "") gives "-". Absent for a path with a ".."
// component, which systemd refuses.
std::optional<std::string> escapedPath(std::string_view path);

// "veldane-watchdog@<escapedPath(bundlePath)>.service"; absent when the path
// cannot be escaped or the name would exceed systemd's 255 bytes.
std::optional<std::string> watchdogUnit(std::string_view bundlePath);

}  // namespace SystemdUnitName
}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_SYSTEMD_UNIT_NAME_H_
