#include "platform/file_identity.h"

#include <sys/stat.h>

namespace veldane {

std::optional<FileIdentity> FileIdentity::atPath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{.device = static_cast<uint64_t>(info.st_dev),
                      .inode = static_cast<uint64_t>(info.st_ino),
                      .modified = static_cast<int64_t>(info.st_mtim.tv_sec)};
}

}  // namespace veldane
