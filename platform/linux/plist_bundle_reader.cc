#include "platform/linux/plist_bundle_reader.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace veldane {
namespace {

struct ScopedFd {
  int fd;
  ~ScopedFd() {
    if (fd >= 0) close(fd);
  }
};

// The whole file, or absent when it is not a regular file of bounded size.
std::optional<std::string> readSmallRegularFile(const std::string& path, size_t limit) {
  // O_NONBLOCK so that a FIFO planted in the bundle cannot stall the caller.
  ScopedFd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
  const int fd = file.fd;
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<uint64_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  // The file may grow after fstat: keep reading, but never past the limit.
  std::string data(static_cast<size_t>(info.st_size) + 1, '\0');
  size_t filled = 0;
  for (;;) {
    ssize_t got = read(fd, data.data() + filled, data.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
    if (filled == data.size()) {
      if (filled > limit) return std::nullopt;
      data.resize(std::min(2 * filled, limit + 1));
    }
  }
  data.resize(filled);
  return data;
}

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<std::string> stringValue(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  free(value);
  return text;
}

}  // namespace

std::optional<BundleInfo> PlistBundleReader::open(const std::string& bundlePath) {
  std::optional<std::string> data =
      readSmallRegularFile(bundlePath + "/Contents/Info.plist", kMaxInfoPlistSize);
  if (!data || data->empty()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
  PlistPtr owner(root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
  BundleInfo info;
  info.identifier = stringValue(root, "CFBundleIdentifier");
  info.executableName = stringValue(root, "CFBundleExecutable");
  return info;
}

BundleReader& systemBundleReader() {
  static PlistBundleReader reader;
  return reader;
}

}  // namespace veldane
