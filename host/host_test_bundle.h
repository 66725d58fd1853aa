#ifndef VELDANE_HOST_HOST_TEST_BUNDLE_H_
#define VELDANE_HOST_HOST_TEST_BUNDLE_H_

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "state/host_run_record.h"
#include "state/test_support.h"
#include "state/watchdog_files.h"
#include "state/watchdog_store.h"
#include "veldane/host.hpp"

namespace veldane {

// A bundle Probe.app with an Info.plist, and XDG_DATA_HOME pointing beside it.
struct TestBundle : TestFolder {
  TestBundle() {
    std::filesystem::create_directories(bundle() / "Contents/MacOS");
    std::ofstream(bundle() / "Contents/Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
        << "<string>com.example.probe</string></dict></plist>";
    setenv("XDG_DATA_HOME", data().c_str(), 1);
  }
  std::filesystem::path bundle() const { return path / "Probe.app"; }
  std::filesystem::path data() const { return path / "data"; }
  WatchdogFiles files(const std::string& identifier = "com.example.probe") const {
    return WatchdogFiles::forBundle(data(), identifier, bundle().string());
  }
};

inline std::unique_ptr<HostSession> startIn(const TestBundle& bundle,
                                            std::vector<const char*> argv = {},
                                            std::chrono::milliseconds beatInterval = {},
                                            std::string* failure = nullptr) {
  argv.insert(argv.begin(), "host_test");
  HostStartOptions options;
  options.bundlePath = bundle.bundle().string();
  options.minimumBeatInterval = beatInterval;
  return HostSession::start(static_cast<int>(argv.size()), argv.data(), options, failure);
}

inline HostRunRecord readRecord(const TestBundle& bundle) {
  return WatchdogStore::read<HostRunRecord>(bundle.files().hostRecordPath())
      .value_or(HostRunRecord{});
}

struct ChildExit {
  pid_t pid = -1;
  int status = -1;  // the exit status, or -1 when it did not exit
};

// Runs `body` in a forked child, which exits with its answer (or is ended by
// SIGALRM should it hang), and waits for it.
inline ChildExit runInChild(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);
    _exit(body());
  }
  ChildExit exited{child, -1};
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    exited.status = WEXITSTATUS(status);
  }
  return exited;
}

}  // namespace veldane

#endif  // VELDANE_HOST_HOST_TEST_BUNDLE_H_
