#include "platform/application_support.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace veldane {
namespace {

constexpr const char* kDataSuffix = "/.local/share";

std::optional<std::string> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::optional<std::string> passwdHome() {
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
             ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

}  // namespace

// A relative XDG_DATA_HOME or HOME is ignored: the folder must not depend on
// the working directory.
std::optional<std::string> applicationSupportDirectory() {
  if (auto data = absoluteVariable("XDG_DATA_HOME")) return data;
  if (auto home = absoluteVariable("HOME")) return *home + kDataSuffix;
  if (auto home = passwdHome()) return *home + kDataSuffix;
  return std::nullopt;
}

// Linux has no App Sandbox and no app groups: the folder stays the data home's.
WatchdogDataFacts dataFolderFacts(const std::string& /*bundlePath*/) {
  WatchdogDataFacts facts;
  facts.applicationSupport = applicationSupportDirectory();
  return facts;
}

}  // namespace veldane
