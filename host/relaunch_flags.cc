#include "host/relaunch_flags.h"

#include <string_view>

#include "veldane/host.hpp"

namespace veldane {

RelaunchFlags RelaunchFlags::parse(int argc, const char* const* argv) {
  RelaunchFlags flags;
  if (argv == nullptr) return flags;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    const std::string_view argument(argv[i]);
    if (argument == kRecoveredFlag) flags.recovered = true;
    if (argument == kSafeModeFlag) flags.safeMode = true;
  }
  return flags;
}

}  // namespace veldane
