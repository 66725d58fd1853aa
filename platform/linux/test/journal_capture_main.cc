// journal-capture --out FILE [--] COMMAND [ARGUMENT...]
// Runs COMMAND with a private journal, in a mount namespace of its own so that
// the machine's journal is never touched, and writes each record it sends as
// one JSON line until COMMAND exits; then exits with its status. SIGTERM and
// SIGINT are passed on to COMMAND. Exit status 77: no private journal here.
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

namespace {

volatile sig_atomic_t command = 0;

void passOn(int signal) {
  if (command > 0) kill(command, signal);
}

[[noreturn]] void unavailable(const char* what) {
  std::fprintf(stderr, "journal-capture: %s: %s\n", what, std::strerror(errno));
  std::exit(77);
}

// Gives the journal's socket, bound in a fresh tmpfs in a private mount namespace.
int enterPrivateJournal() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
    unavailable("a private mount namespace");
  }
  // The tmpfs goes on the deepest folder that exists: creating the missing ones
  // inside it leaves nothing behind on the real system.
  const char* base = access("/run/systemd/journal", F_OK) == 0 ? "/run/systemd/journal"
                     : access("/run/systemd", F_OK) == 0       ? "/run/systemd"
                                                               : "/run";
  if (mount("tmpfs", base, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) unavailable(base);
  mkdir("/run/systemd", 0755);
  mkdir("/run/systemd/journal", 0755);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = "/run/systemd/journal/socket"};
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(address.sun_path, 0666) != 0) {
    unavailable(address.sun_path);
  }
  return fd;
}

// One datagram of the journal's native protocol as JSON; null when malformed.
nlohmann::json parseRecord(const std::string& datagram) {
  nlohmann::json fields = nlohmann::json::object();
  size_t position = 0;
  while (position < datagram.size()) {
    const size_t keyEnd = datagram.find_first_of("=\n", position);
    if (keyEnd == std::string::npos || keyEnd == position) return nullptr;
    const std::string key = datagram.substr(position, keyEnd - position);
    if (datagram[keyEnd] == '=') {
      const size_t lineEnd = std::min(datagram.find('\n', keyEnd), datagram.size());
      fields[key] = datagram.substr(keyEnd + 1, lineEnd - keyEnd - 1);
      position = lineEnd + 1;
      continue;
    }
    // Binary form, for values with a newline: a little-endian 64-bit length,
    // the bytes, a newline.
    size_t start = keyEnd + 1;
    if (datagram.size() - start < 8) return nullptr;
    uint64_t length = 0;
    for (size_t i = 8; i-- > 0;) length = length << 8 | static_cast<uint8_t>(datagram[start + i]);
    start += 8;
    if (length >= datagram.size() - start || datagram[start + length] != '\n') return nullptr;
    fields[key] = datagram.substr(start, length);
    position = start + length + 1;
  }
  return fields;
}

}  // namespace

int main(int argc, char** argv) {
  const int first = argc > 3 && std::strcmp(argv[3], "--") == 0 ? 4 : 3;
  if (argc <= first || std::strcmp(argv[1], "--out") != 0) {
    std::fprintf(stderr, "usage: journal-capture --out FILE [--] COMMAND [ARGUMENT...]\n");
    return 2;
  }
  FILE* out = std::fopen(argv[2], "we");
  if (out == nullptr) {
    std::perror(argv[2]);
    return 2;
  }
  const int socketFd = enterPrivateJournal();
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    execvp(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  command = child;
  std::signal(SIGTERM, passOn);
  std::signal(SIGINT, passOn);

  // Once the command has ended, what it sent just before is still queued.
  int status = 0;
  for (bool ended = false; !ended;) {
    ended = waitpid(child, &status, WNOHANG) == child;
    pollfd ready{socketFd, POLLIN, 0};
    while (poll(&ready, 1, ended ? 0 : 100) == 1) {
      std::string datagram(1 << 20, '\0');
      datagram.resize(std::max<ssize_t>(recv(socketFd, datagram.data(), datagram.size(), 0), 0));
      const nlohmann::json record = parseRecord(datagram);
      if (record.is_null()) continue;
      std::fprintf(out, "%s\n",
                   record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      std::fflush(out);
    }
  }
  std::fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
