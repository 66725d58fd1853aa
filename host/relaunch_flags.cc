#include "host/relaunch_flags.h"

#include <string_view>

#include "state/relaunch_flags.h"
#include "veldane/host.hpp"

namespace veldane {

// The public header cannot include the project's own; the two must agree.
static_assert(std::string_view(kRecoveredFlag) == RelaunchFlag::kRecovered);
static_assert(std::string_view(kSafeModeFlag) == RelaunchFlag::kSafeMode);

RelaunchFlags RelaunchFlags::parse(int argc, const char* const* argv) {
  RelaunchFlags flags;
  if (argv == nullptr) return flags;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    const std::string_view argument(argv[i]);
    if (argument == RelaunchFlag::kRecovered) flags.recovered = true;
    if (argument == RelaunchFlag::kSafeMode) flags.safeMode = true;
  }
  return flags;
}

}  // namespace veldane
