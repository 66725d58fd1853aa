#ifndef VELDANE_HOST_LAUNCH_ID_H_
#define VELDANE_HOST_LAUNCH_ID_H_

#include <optional>
#include <string>

namespace veldane {

// A fresh random identifier in the UUID form ("8-4-4-4-12" upper-case hex
// digits, version 4); absent when the system gives no randomness.
std::optional<std::string> makeLaunchID();

}  // namespace veldane

#endif  // VELDANE_HOST_LAUNCH_ID_H_
