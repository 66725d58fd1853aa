// veldane-e2e-stalling-fs SOURCE MOUNTPOINT: a FUSE file system holding one
// file, "plugin.so", with the bytes of SOURCE, that stops answering for good
// once anything looks up "stall": like a network share whose server went
// away. Every request it has read by then waits for an answer that never
// comes, which no signal ends; only the end of this process does.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string gContent;
std::atomic<bool> gStalled{false};
constexpr const char* kFile = "/plugin.so";

void stallIfAsked() {
  while (gStalled) pause();
}

int getattr(const char* path, struct stat* info, fuse_file_info*) {
  stallIfAsked();
  std::memset(info, 0, sizeof *info);
  if (std::strcmp(path, "/") == 0) {
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kFile) == 0) {
    info->st_mode = S_IFREG | 0755;
    info->st_nlink = 1;
    info->st_size = static_cast<off_t>(gContent.size());
    return 0;
  }
  if (std::strcmp(path, "/stall") == 0) gStalled = true;
  return -ENOENT;
}

int open(const char* path, fuse_file_info*) {
  stallIfAsked();
  return std::strcmp(path, kFile) == 0 ? 0 : -ENOENT;
}

int read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  stallIfAsked();
  if (offset < 0 || static_cast<size_t>(offset) >= gContent.size()) return 0;
  const size_t length = std::min(size, gContent.size() - static_cast<size_t>(offset));
  std::memcpy(buffer, gContent.data() + offset, length);
  return static_cast<int>(length);
}

int readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  stallIfAsked();
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kFile + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::ifstream source(argv[1], std::ios::binary);
  gContent.assign(std::istreambuf_iterator<char>(source), {});
  fuse_operations operations{};
  operations.getattr = getattr;
  operations.open = open;
  operations.read = read;
  operations.readdir = readdir;
  // In the foreground, many threads: each request is read, and waits.
  char* arguments[] = {argv[0], const_cast<char*>("-f"), argv[2], nullptr};
  return fuse_main(3, arguments, &operations, nullptr);
}
