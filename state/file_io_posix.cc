#include "state/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "state/file_io_system.h"
#include "state/scoped_fd.h"

namespace veldane {
namespace WatchdogStore {
namespace {

namespace fs = std::filesystem;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// A descriptor for reading the regular file at `path`, with `info` about it.
// A FIFO, device or socket is never opened, not even through a link.
//
// Without links, the name's own type is looked at first and the open refuses
// a link that took the file's place meanwhile: no more system calls than a
// plain open and fstat, which matters on every tick.
ScopedFd openRegularFile(const fs::path& path, FileLinks links, struct stat& info) {
  if (links == FileLinks::follow) return os::openRegularFileFollowingLinks(path, info);
  if (fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    return ScopedFd();
  }
  // O_NONBLOCK: should a FIFO take the file's place meanwhile, its open
  // does not wait, and the read then finds nothing.
  return ScopedFd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

}  // namespace

// mkdir's mode is narrowed by the umask, hence the chmod. A path component
// that exists but is no folder makes the whole creation fail.
bool createFolders(const fs::path& directory) {
  fs::path current;
  for (const fs::path& component : directory) {
    if (component.empty()) continue;
    current /= component;
    struct stat info;
    if (stat(current.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) return false;
      continue;
    }
    if (errno != ENOENT) return false;
    if (mkdir(current.c_str(), 0700) != 0) {
      // Someone else may have made it meanwhile; theirs keeps its mode.
      if (errno != EEXIST || stat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
      }
      continue;
    }
    if (chmod(current.c_str(), 0700) != 0) return false;
  }
  return true;
}

std::optional<std::string> readFile(const fs::path& path, size_t limit, FileLinks links) {
  struct stat info;
  ScopedFd fd = openRegularFile(path, links, info);
  if (!fd.valid()) return std::nullopt;
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > limit) {
    return std::nullopt;
  }
  // One byte more than the size, to notice a file that grew while being read.
  const size_t expected = static_cast<size_t>(info.st_size);
  std::string content(expected + 1, '\0');
  size_t length = 0;
  while (true) {
    if (length == content.size()) {
      if (content.size() > limit) return std::nullopt;
      content.resize(std::min(content.size() * 2, limit + 1));
    }
    const size_t requested = content.size() - length;
    ssize_t got = ::read(fd.get(), content.data() + length, requested);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
    // A short read that stops exactly at the size fstat gave is the whole
    // file: no second read only to see its end.
    if (length == expected && static_cast<size_t>(got) < requested) break;
  }
  content.resize(length);
  return content;
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, bool durable) {
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  if (!createFolders(directory)) return false;

  std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  ScopedFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  // The ledger is written rarely, so the flush is cheap, and it then
  // survives a crash of the machine right after the rename.
  bool ok = writeAll(fd.get(), bytes) && (!durable || os::flushToDisk(fd.get()));
  ok = fd.closeChecked() && ok;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

void removeTemporaryFiles(const fs::path& path, std::chrono::seconds olderThan) {
  const std::string prefix = "." + path.filename().string() + ".";
  constexpr size_t kUniqueLength = 6;  // the XXXXXX of mkostemp
  const auto before = fs::file_time_type::clock::now() - olderThan;
  std::error_code error;
  fs::directory_iterator entries(path.parent_path(), error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    const fs::path& entry = entries->path();
    const std::string name = entry.filename().string();
    if (!name.starts_with(prefix) || name.size() != prefix.size() + kUniqueLength) continue;
    std::error_code ignored;
    if (!fs::is_regular_file(fs::symlink_status(entry, ignored))) continue;
    const auto modified = fs::last_write_time(entry, ignored);
    if (!ignored && modified < before) fs::remove(entry, ignored);
  }
}

}  // namespace WatchdogStore
}  // namespace veldane
