// A host application for the benchmarks: starts a session in the bundle it
// is copied into and beats once a second until it is killed.
//
//   VELDANE_BENCH_CURTAIN=1   keeps the curtain up (the watchdog ticks every second)
//   VELDANE_BENCH_STAMPS=F    appends "<pid> <main> <recorded>" to F, both
//                             CLOCK_MONOTONIC nanoseconds: entering main and
//                             having written the first run record
//
// Started in safe mode, it lifts the crash-loop stop at once, so that the
// benchmarks can crash it as often as they like.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veldane/host.hpp"

namespace {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void appendStamp(const char* file, int64_t entered, int64_t recorded) {
  char line[96];
  const int length =
      std::snprintf(line, sizeof line, "%d %lld %lld\n", static_cast<int>(getpid()),
                    static_cast<long long>(entered), static_cast<long long>(recorded));
  const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // One write of one short line: appended whole.
  [[maybe_unused]] ssize_t written = write(fd, line, static_cast<size_t>(length));
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t entered = monotonicNanoseconds();
  std::string failure;
  auto session = veldane::HostSession::start(argc, argv, {}, &failure);
  if (!session) {
    std::fprintf(stderr, "bench host: %s\n", failure.c_str());
    return 1;
  }
  const int64_t recorded = monotonicNanoseconds();
  if (const char* curtain = std::getenv("VELDANE_BENCH_CURTAIN"); curtain && *curtain == '1') {
    session->setCurtainUp(true);
  }
  if (session->safeMode()) session->resetCrashLoop();
  if (const char* stamps = std::getenv("VELDANE_BENCH_STAMPS"); stamps && *stamps) {
    appendStamp(stamps, entered, recorded);
  }
  const timespec second{1, 0};
  for (;;) {
    session->beat();
    nanosleep(&second, nullptr);
  }
}
