// journal-capture [--out FILE] [--] COMMAND [ARGUMENT...]
// Runs COMMAND with a private journal and writes each record it sends as one
// JSON line, until COMMAND exits; then exits with its status. SIGTERM and
// SIGINT are passed on to COMMAND. Exit status 77: no private journal here.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/linux/test/journal_capture.h"

namespace {

volatile sig_atomic_t command = 0;

void passOn(int signal) {
  if (command > 0) kill(command, signal);
}

void writeRecord(FILE* out, const veldane::journal_capture::Fields& fields) {
  const std::string line =
      nlohmann::json(fields).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  FILE* out = stdout;
  if (first + 1 < argc && std::strcmp(argv[first], "--out") == 0) {
    out = std::fopen(argv[first + 1], "we");
    if (out == nullptr) {
      std::perror(argv[first + 1]);
      return 2;
    }
    first += 2;
  }
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc) {
    std::fprintf(stderr, "usage: journal-capture [--out FILE] [--] COMMAND [ARGUMENT...]\n");
    return 2;
  }

  std::string error;
  const int socketFd = veldane::journal_capture::enterPrivateJournal(&error);
  if (socketFd < 0) {
    std::fprintf(stderr, "journal-capture: %s\n", error.c_str());
    return 77;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  command = child;
  std::signal(SIGTERM, passOn);
  std::signal(SIGINT, passOn);

  const int status = veldane::journal_capture::collectUntilExit(
      socketFd, child,
      [out](const veldane::journal_capture::Fields& fields) { writeRecord(out, fields); });
  if (out != stdout) std::fclose(out);
  if (status < 0) return 2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
