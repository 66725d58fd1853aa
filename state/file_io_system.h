#ifndef VELDANE_STATE_FILE_IO_SYSTEM_H_
#define VELDANE_STATE_FILE_IO_SYSTEM_H_

#include <sys/stat.h>

#include <filesystem>

#include "state/scoped_fd.h"

// What file_io_posix.cc leaves to the system it is built for: each system's
// file_io_<system>.cc defines these.
namespace veldane::WatchdogStore::os {

// A descriptor for reading the regular file that the links at `path` lead
// to, with `info` about it; holds nothing for anything else. A FIFO, device
// or socket is never opened.
ScopedFd openRegularFileFollowingLinks(const std::filesystem::path& path, struct stat& info);

// Flushes what was written to `fd` to the disk itself; false when it cannot.
bool flushToDisk(int fd);

}  // namespace veldane::WatchdogStore::os

#endif  // VELDANE_STATE_FILE_IO_SYSTEM_H_
