#ifndef VELDANE_STATE_RELAUNCH_FLAGS_H_
#define VELDANE_STATE_RELAUNCH_FLAGS_H_

#include <string>
#include <string_view>
#include <vector>

namespace veldane {

// What the watchdog puts on the host's command line when it relaunches it,
// and what the host library looks for there. The public host.hpp spells the
// same two flags for applications; a check in the host library ties them.
namespace RelaunchFlag {

inline constexpr std::string_view kRecovered = "--veldane-recovered";
inline constexpr std::string_view kSafeMode = "--veldane-safe-mode";

// The arguments of a relaunch after an unexpected exit.
inline const std::vector<std::string>& afterCrash() {
  static const std::vector<std::string> arguments{std::string(kRecovered)};
  return arguments;
}

// The arguments of the one launch in safe mode after repeated crashes.
inline const std::vector<std::string>& inSafeMode() {
  static const std::vector<std::string> arguments{std::string(kRecovered), std::string(kSafeMode)};
  return arguments;
}

// Whether `arguments` are those of a relaunch, of either kind.
inline bool isRelaunch(const std::vector<std::string>& arguments) {
  return arguments == afterCrash() || arguments == inSafeMode();
}

}  // namespace RelaunchFlag
}  // namespace veldane

#endif  // VELDANE_STATE_RELAUNCH_FLAGS_H_
