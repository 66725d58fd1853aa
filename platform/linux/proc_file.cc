#include "platform/linux/proc_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "state/scoped_fd.h"

namespace veldane {

std::string_view readSmallFile(const char* path, std::span<char> buffer) {
  ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return {};
  size_t filled = 0;
  while (filled < buffer.size()) {
    const size_t asked = buffer.size() - filled;
    const ssize_t got = ::read(fd.get(), buffer.data() + filled, asked);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<size_t>(got);
    if (static_cast<size_t>(got) < asked) break;
  }
  return std::string_view(buffer.data(), filled);
}

}  // namespace veldane
