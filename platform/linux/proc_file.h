#ifndef VELDANE_PLATFORM_LINUX_PROC_FILE_H_
#define VELDANE_PLATFORM_LINUX_PROC_FILE_H_

#include <span>
#include <string_view>

namespace veldane {

// The text of a small /proc file, read into `buffer` with one open, one read
// and one close; no allocation. The kernel makes such a file whole on the
// first read, so what that read gives is all there is. Cut at the buffer's
// size; empty when the file cannot be read.
std::string_view readSmallFile(const char* path, std::span<char> buffer);

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_PROC_FILE_H_
