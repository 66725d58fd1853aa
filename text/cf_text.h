#ifndef VELDANE_TEXT_CF_TEXT_H_
#define VELDANE_TEXT_CF_TEXT_H_

#include <optional>
#include <string>

#include "platform/macos/sdk_declarations.h"

namespace veldane {

// The UTF-8 bytes of a CoreFoundation string; absent for null or any object
// that is not a string.
std::optional<std::string> utf8String(CFTypeRef object);

}  // namespace veldane

#endif  // VELDANE_TEXT_CF_TEXT_H_
