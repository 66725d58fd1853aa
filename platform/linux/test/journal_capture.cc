#include "platform/linux/test/journal_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
extern "C" {
// glibc 2.36 declares these without C linkage; what it includes comes first.
#include <sys/pidfd.h>
}

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace veldane::journal_capture {
namespace {

constexpr char kSocketPath[] = "/run/systemd/journal/socket";
// Clients may send datagrams of several megabytes before they turn to a memfd.
constexpr int kReceiveBuffer = 8 << 20;

bool isDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

int failure(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what + ": " + std::strerror(errno);
  return -1;
}

uint64_t readLength(std::string_view bytes) {
  uint64_t length = 0;
  for (int i = 7; i >= 0; --i) {
    length = length << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
  }
  return length;
}

std::optional<std::string> readMemoryFile(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return std::nullopt;
  std::string data(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t got = pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (got <= 0) return std::nullopt;
    done += static_cast<size_t>(got);
  }
  return data;
}

}  // namespace

int enterPrivateJournal(std::string* error) {
  if (unshare(CLONE_NEWNS) != 0) return failure(error, "unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failure(error, "making / private");
  }
  // The tmpfs goes on the deepest folder that exists: creating the missing ones
  // inside it leaves nothing behind on the real system.
  const char* base = nullptr;
  for (const char* folder : {"/run/systemd/journal", "/run/systemd", "/run"}) {
    if (isDirectory(folder)) {
      base = folder;
      break;
    }
  }
  if (base == nullptr) {
    errno = ENOENT;
    return failure(error, "/run");
  }
  if (mount("tmpfs", base, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    return failure(error, std::string("mounting a tmpfs on ") + base);
  }
  for (const char* folder : {"/run/systemd", "/run/systemd/journal"}) {
    if (mkdir(folder, 0755) != 0 && errno != EEXIST) return failure(error, folder);
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failure(error, "socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, kSocketPath);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(kSocketPath, 0666) != 0) {
    const int failed = errno;
    close(fd);
    errno = failed;
    return failure(error, std::string("binding ") + kSocketPath);
  }
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer);
  return fd;
}

std::optional<Fields> parseRecord(std::string_view datagram) {
  Fields fields;
  size_t position = 0;
  while (position < datagram.size()) {
    const size_t keyEnd = datagram.find_first_of("=\n", position);
    if (keyEnd == std::string_view::npos || keyEnd == position) return std::nullopt;
    std::string key(datagram.substr(position, keyEnd - position));
    if (datagram[keyEnd] == '=') {
      size_t lineEnd = datagram.find('\n', keyEnd + 1);
      if (lineEnd == std::string_view::npos) lineEnd = datagram.size();
      fields[std::move(key)] = datagram.substr(keyEnd + 1, lineEnd - keyEnd - 1);
      position = lineEnd + 1;
      continue;
    }
    // Binary form: a little-endian 64-bit length, the bytes, a newline.
    size_t start = keyEnd + 1;
    if (datagram.size() - start < 8) return std::nullopt;
    const uint64_t length = readLength(datagram.substr(start));
    start += 8;
    if (length >= datagram.size() - start || datagram[start + length] != '\n') return std::nullopt;
    fields[std::move(key)] = datagram.substr(start, length);
    position = start + length + 1;
  }
  return fields;
}

std::optional<Fields> receiveRecord(int socketFd, int timeoutMs) {
  pollfd ready{socketFd, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) != 1) return std::nullopt;
  const ssize_t size = recv(socketFd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (size < 0) return std::nullopt;
  std::string data(static_cast<size_t>(size), '\0');
  iovec part{data.data(), data.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = recvmsg(socketFd, &message, MSG_CMSG_CLOEXEC);
  if (received < 0) return std::nullopt;
  data.resize(static_cast<size_t>(received));
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    int memoryFile = -1;
    std::memcpy(&memoryFile, CMSG_DATA(header), sizeof memoryFile);
    std::optional<std::string> contents = readMemoryFile(memoryFile);
    close(memoryFile);
    if (!contents) return std::nullopt;
    data = std::move(*contents);
  }
  return parseRecord(data);
}

int collectUntilExit(int socketFd, pid_t pid, const std::function<void(const Fields&)>& onRecord) {
  const int processFd = pidfd_open(pid, 0);
  pollfd waiting[] = {{socketFd, POLLIN, 0}, {processFd, POLLIN, 0}};
  while (processFd >= 0) {
    if (poll(waiting, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waiting[0].revents & POLLIN) {
      if (auto record = receiveRecord(socketFd, 0)) onRecord(*record);
    }
    if (waiting[1].revents & POLLIN) break;
  }
  if (processFd < 0) return -1;
  close(processFd);
  // What the process sent just before it ended is still queued.
  pollfd queued{socketFd, POLLIN, 0};
  while (poll(&queued, 1, 0) == 1) {
    if (auto record = receiveRecord(socketFd, 0)) onRecord(*record);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace veldane::journal_capture
