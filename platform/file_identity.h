#ifndef VELDANE_PLATFORM_FILE_IDENTITY_H_
#define VELDANE_PLATFORM_FILE_IDENTITY_H_

#include <cstdint>
#include <optional>
#include <string>

namespace veldane {

// What identifies the file at a path, so that a replaced or modified file can
// be noticed: it changes with a new inode or a later modification second.
struct FileIdentity {
  uint64_t device = 0;  // st_dev, at the platform's full width
  uint64_t inode = 0;
  int64_t modified = 0;  // whole seconds since the epoch

  // stat(2), following links; absent when it fails.
  static std::optional<FileIdentity> atPath(const std::string& path);

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_FILE_IDENTITY_H_
