#include "bench/bench_world.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "demo/info_plist.h"

extern char** environ;

namespace veldane::bench {
namespace {

namespace fs = std::filesystem;

std::vector<pid_t> children() {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/self/task", error)) {
    std::ifstream list(task.path() / "children");
    for (pid_t child = 0; list >> child;) found.push_back(child);
  }
  return found;
}

}  // namespace

BenchWorld::BenchWorld(const std::string& hostExecutable, bool curtainUp) {
  char pattern[] = "/tmp/veldane-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  root_ = pattern;
  bundle_ = root_ / "Bench.app";
  fs::create_directories(bundle_ / "Contents/MacOS");
  const std::string infoPlist = bundleInfoPlist("com.veldane.bench", "BenchHost");
  if (infoPlist.empty()) throw std::runtime_error("no Info.plist template");
  std::ofstream(bundle_ / "Contents/Info.plist") << infoPlist;
  std::ofstream(helperPath()) << "stand-in for the watchdog's executable\n";
  fs::copy_file(hostExecutable, bundle_ / "Contents/MacOS/BenchHost");
  setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  setenv("VELDANE_BENCH_STAMPS", (root_ / "stamps").c_str(), 1);
  setenv("VELDANE_BENCH_CURTAIN", curtainUp ? "1" : "0", 1);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  startHost();
}

BenchWorld::~BenchWorld() {
  for (int round = 0; round < 100; ++round) {
    reapExitedChildren();
    const std::vector<pid_t> left = children();
    if (left.empty()) break;
    for (pid_t child : left) kill(child, SIGKILL);
    const timespec pause{0, 20'000'000};
    nanosleep(&pause, nullptr);
  }
  std::error_code error;
  fs::remove_all(root_, error);
}

std::string BenchWorld::helperPath() const {
  return (bundle_ / "Contents/MacOS/VeldaneWatchdog").string();
}

void BenchWorld::startHost() {
  const size_t before = stamps().size();
  const std::string host = (bundle_ / "Contents/MacOS/BenchHost").string();
  char* argv[] = {const_cast<char*>(host.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
    throw std::runtime_error("cannot start the bench host");
  }
  for (int i = 0; i < 5000 && stamps().size() == before; ++i) {
    const timespec pause{0, 2'000'000};
    nanosleep(&pause, nullptr);
  }
  if (stamps().size() == before) throw std::runtime_error("the bench host did not start");
}

std::vector<BenchWorld::Stamp> BenchWorld::stamps() const {
  std::vector<Stamp> stamps;
  std::ifstream lines(root_ / "stamps");
  for (Stamp s; lines >> s.pid >> s.entered >> s.recorded;) stamps.push_back(s);
  return stamps;
}

void BenchWorld::reapExitedChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace veldane::bench
