#ifndef VELDANE_PLATFORM_SAME_PATH_H_
#define VELDANE_PLATFORM_SAME_PATH_H_

#include <string_view>

namespace veldane {

// Whether two normalised paths name the same file as this system's file
// systems compare names: byte for byte on Linux, where two Unicode forms of a
// name are two files; under canonical equivalence on macOS, whose file
// systems take them as one name.
bool samePath(std::string_view a, std::string_view b);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_SAME_PATH_H_
