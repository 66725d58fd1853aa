#include "host/launch_id.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "state/scoped_fd.h"

namespace veldane {
namespace {

using Bytes = std::array<uint8_t, 16>;

// Calls `source` until the bytes are full or it gives up (0, or an error other
// than an interrupted call).
template <typename Source>
bool fillWith(Bytes& bytes, Source source) {
  size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = source(bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<size_t>(got);
  }
  return true;
}

// getentropy (getrandom on Linux) may be missing (old kernels, some
// sandboxes); the device is the older road to the same pool.
bool fill(Bytes& bytes) {
  if (getentropy(bytes.data(), bytes.size()) == 0) return true;
  const ScopedFd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return fillWith(bytes, [&fd](void* to, size_t size) { return read(fd.get(), to, size); });
}

}  // namespace

std::optional<std::string> makeLaunchID() {
  Bytes bytes{};
  if (!fill(bytes)) return std::nullopt;
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return std::string(text);
}

}  // namespace veldane
