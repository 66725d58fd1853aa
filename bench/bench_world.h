#ifndef VELDANE_BENCH_BENCH_WORLD_H_
#define VELDANE_BENCH_BENCH_WORLD_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace veldane::bench {

// A host bundle in a fresh temporary folder, with the bench host as its
// application and XDG_DATA_HOME pointing into the folder, and the host
// running in it. The process becomes a child subreaper, so that hosts that a
// watchdog launches become its children. Destroying it ends and reaps every
// child by pid and removes the folder.
class BenchWorld {
 public:
  struct Stamp {
    pid_t pid = 0;
    int64_t entered = 0;   // CLOCK_MONOTONIC ns at the host's main()
    int64_t recorded = 0;  // ... once its first run record was written
  };

  // `hostExecutable`: the built bench host; `curtainUp`: hosts keep the
  // curtain up, so that a watchdog ticks every second.
  BenchWorld(const std::string& hostExecutable, bool curtainUp);
  ~BenchWorld();
  BenchWorld(const BenchWorld&) = delete;
  BenchWorld& operator=(const BenchWorld&) = delete;

  // Where a watchdog's executable sits in the bundle (a small stand-in file).
  std::string helperPath() const;
  // The hosts that have started so far, first first.
  std::vector<Stamp> stamps() const;
  void reapExitedChildren();

 private:
  // Starts a host and waits for its first record.
  void startHost();

  std::filesystem::path root_;
  std::filesystem::path bundle_;
};

}  // namespace veldane::bench

#endif  // VELDANE_BENCH_BENCH_WORLD_H_
