#include "state/watchdog_files.h"

#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <utility>

namespace veldane {
namespace fs = std::filesystem;

// Every tick reads at these paths: a path built from its parts takes a dozen
// allocations, so they are built here, once.
WatchdogFiles::WatchdogFiles(fs::path directory)
    : directory_(std::move(directory)),
      hostRecord_(directory_ / kHostRecordName),
      hangNote_(directory_ / kHangNoteName),
      ledger_(directory_ / kLedgerName),
      lock_(directory_ / kLockName),
      hangReport_(directory_ / kHangReportName) {}

WatchdogFiles WatchdogFiles::forBundle(const fs::path& applicationSupport,
                                       const std::string& bundleIdentifier,
                                       const std::string& bundlePath) {
  // Appended as text so that an identifier starting with "/" cannot replace
  // the whole path, as operator/ would let it.
  fs::path directory = applicationSupport / "";
  directory += bundleIdentifier;
  directory /= "Watchdog";
  directory /= hashName(fnv1a(normalized(bundlePath)));
  return WatchdogFiles(std::move(directory));
}

bool WatchdogFiles::isUsableBundleIdentifier(std::string_view identifier) {
  return !identifier.empty() && identifier != "." && identifier != ".." &&
         identifier.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The same as lexically_normal() of the absolute path less its trailing
// slashes, worked out on the text in one pass: every tick compares paths,
// and std::filesystem::path takes a dozen allocations for one.
std::string WatchdogFiles::normalized(std::string_view path) {
  std::string workingDirectory;
  if (!path.starts_with('/')) {
    std::error_code error;
    workingDirectory = fs::current_path(error).string();
    if (error) workingDirectory = "/";
  }
  std::string result;
  result.reserve(workingDirectory.size() + 1 + path.size());
  // Empty and "." components go; ".." takes the last one back, and at the
  // root there is none to take.
  for (std::string_view text : {std::string_view(workingDirectory), path}) {
    while (!text.empty()) {
      const size_t slash = text.find('/');
      const std::string_view component = text.substr(0, slash);
      if (component == "..") {
        if (!result.empty()) result.resize(result.rfind('/'));
      } else if (!component.empty() && component != ".") {
        result += '/';
        result += component;
      }
      if (slash == std::string_view::npos) break;
      text.remove_prefix(slash + 1);
    }
  }
  if (result.empty()) result = "/";
  return result;
}

std::string WatchdogFiles::resolved(std::string_view path) {
  std::error_code error;
  // canonical() takes ".." after a link as the system does, from the link's target.
  fs::path real = fs::canonical(fs::path(path.empty() ? "." : path), error);
  return normalized(error ? path : std::string_view(real.native()));
}

bool WatchdogFiles::isNormalized(std::string_view path) {
  if (!path.starts_with('/')) return false;
  if (path.size() == 1) return true;
  for (path.remove_prefix(1);;) {
    const size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

std::optional<std::string> WatchdogFiles::hostBundlePath(std::string_view helperExecutable) {
  fs::path executable(normalized(helperExecutable));
  fs::path executableFolder = executable.parent_path();
  fs::path contents = executableFolder.parent_path();
  fs::path bundle = contents.parent_path();
  if (executableFolder.filename() != "MacOS") return std::nullopt;
  if (contents.filename() != "Contents") return std::nullopt;
  // A folder named only ".app" has no name before its extension.
  std::string bundleName = bundle.filename().string();
  if (bundleName.size() <= 4 || !bundleName.ends_with(".app")) return std::nullopt;
  return normalized(bundle.string());
}

uint64_t WatchdogFiles::fnv1a(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string WatchdogFiles::hashName(uint64_t hash) {
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016" PRIx64, hash);
  return buffer;
}

}  // namespace veldane
