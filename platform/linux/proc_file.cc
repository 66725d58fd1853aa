#include "platform/linux/proc_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "state/scoped_fd.h"

namespace veldane {

std::string_view readSmallFile(const char* path, std::span<char> buffer) {
  ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return {};
  ssize_t got;
  do {
    got = ::read(fd.get(), buffer.data(), buffer.size());
  } while (got < 0 && errno == EINTR);
  return std::string_view(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

}  // namespace veldane
