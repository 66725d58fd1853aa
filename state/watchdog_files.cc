#include "state/watchdog_files.h"

#include <cinttypes>
#include <cstdio>
#include <system_error>

namespace veldane {
namespace fs = std::filesystem;

WatchdogFiles WatchdogFiles::forBundle(const fs::path& applicationSupport,
                                       const std::string& bundleIdentifier,
                                       const std::string& bundlePath) {
  // Appended as text so that an identifier starting with "/" cannot replace
  // the whole path, as operator/ would let it.
  fs::path directory = applicationSupport / "";
  directory += bundleIdentifier;
  directory /= "Watchdog";
  directory /= hashName(fnv1a(normalized(bundlePath)));
  return WatchdogFiles{directory};
}

std::string WatchdogFiles::normalized(std::string_view path) {
  fs::path result(path);
  if (!result.is_absolute()) {
    std::error_code error;
    fs::path workingDirectory = fs::current_path(error);
    if (error) workingDirectory = "/";
    result = workingDirectory / result;
  }
  std::string text = result.lexically_normal().string();
  while (text.size() >= 2 && text.back() == '/') text.pop_back();
  return text;
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
