#ifndef VELDANE_PLATFORM_LINUX_UTF8_REPAIR_H_
#define VELDANE_PLATFORM_LINUX_UTF8_REPAIR_H_

#include <string>
#include <string_view>

namespace veldane {

// Text read from the system (/proc: paths, thread names) is bytes, and the
// kernel cuts names inside a character; the files and the log take only
// valid UTF-8.

bool isValidUtf8(std::string_view bytes);

// One U+FFFD for each byte that does not begin a valid sequence; valid text,
// the usual case, is left as it is.
void repairUtf8(std::string& bytes);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_UTF8_REPAIR_H_
