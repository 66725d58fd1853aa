#include "state/watchdog_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace veldane {
namespace WatchdogStore {
namespace {

namespace fs = std::filesystem;

// Closes a descriptor on every way out.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now, so that a failing close can be seen.
  bool closeChecked() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

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

// Builds the tree as the parser's own builder does, but stops the parse as
// soon as it goes deeper than kMaxDepth, before that depth costs anything.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;
  explicit DepthLimitedBuilder(nlohmann::json& result) : Base(result, /*allow_exceptions=*/false) {}

  bool start_object(std::size_t elements) { return enter() && Base::start_object(elements); }
  bool start_array(std::size_t elements) { return enter() && Base::start_array(elements); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

 private:
  bool enter() { return ++depth_ <= kMaxDepth; }
  size_t depth_ = 0;
};

// Far above what the files hold, so that ordinary reads never pay for a trim.
constexpr size_t kOrdinaryFileSize = 8 << 10;

// A descriptor for reading the regular file at `path`, with `info` about it,
// or -1. A FIFO, device or socket is never opened, not even through a link.
//
// Without links, the name's own type is looked at first and the open refuses
// a link that took the file's place meanwhile: no more system calls than a
// plain open and fstat, which matters on every tick.
//
// Following links, on Linux an O_PATH descriptor shows the type of the file
// that the links lead to without opening it, and its /proc name then opens
// exactly that file. Elsewhere the type is looked at first and the file that
// was opened compared with it.
int openRegularFile(const fs::path& path, FileLinks links, struct stat& info) {
  if (links == FileLinks::refuse) {
    if (fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
      return -1;
    }
    // O_NONBLOCK: should a FIFO take the file's place meanwhile, its open
    // does not wait, and the read then finds nothing.
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  }
#if defined(__linux__)
  ScopedFd handle(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (handle.get() < 0 || fstat(handle.get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  char name[32];
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", handle.get());
  return open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
#else
  struct stat named;
  if (stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return -1;
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_dev != named.st_dev || info.st_ino != named.st_ino) {
    return -1;
  }
  return fd.release();
#endif
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

std::optional<std::string> serialize(const nlohmann::json& json) {
  std::string text;
  try {
    text = json.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  // A slash can only stand inside a string in JSON text, so this escapes
  // exactly the slashes of the strings.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::optional<nlohmann::json> parse(std::string_view text) {
  try {
    nlohmann::json json;
    DepthLimitedBuilder builder(json);
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder) || json.is_discarded()) {
      return std::nullopt;
    }
    return json;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> readFile(const fs::path& path, size_t limit, FileLinks links) {
  struct stat info;
  ScopedFd fd(openRegularFile(path, links, info));
  if (fd.get() < 0) return std::nullopt;
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

void releaseMemoryAfterRead(size_t size) {
  if (size <= kOrdinaryFileSize) return;
#if defined(__GLIBC__)
  // Freed memory stays with the process otherwise: glibc raises its mmap
  // threshold after freeing a large block, so the next tree goes to the heap.
  malloc_trim(0);
#endif
}

// On macOS fsync leaves the bytes in the drive's cache, where a power loss
// takes them; F_FULLFSYNC has the drive write them, where its file system can.
bool flushToDisk(int fd) {
#ifdef F_FULLFSYNC
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return fsync(fd) == 0;
}

bool writeFileAtomically(const fs::path& path, std::string_view bytes, bool durable) {
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  if (!createFolders(directory)) return false;

  std::string temporary = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
  ScopedFd fd(mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return false;
  // The ledger is written rarely, so the fsync is cheap, and it then
  // survives a crash of the machine right after the rename.
  bool ok = writeAll(fd.get(), bytes) && (!durable || flushToDisk(fd.get()));
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
