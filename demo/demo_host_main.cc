// veldane-demo-host: a host application built on the host library whose
// behaviour is scripted, for the demo and the end-to-end tests. Put into a
// bundle's Contents/MacOS next to the watchdog, it follows the plan in the
// control folder (see DemoControl and DemoStep):
//
//   VELDANE_DEMO_CONTROL     the control folder (required)
//   VELDANE_DEMO_IDENTIFIER  the bundle identifier, when not Info.plist's
//   VELDANE_DEMO_OWNER       a pid; the host ends when that process is gone
//
// The watchdog passes its environment on, so relaunched hosts see the same
// values. Its standard streams are /dev/null then: the host tells what it
// does in the events file instead.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "demo/demo_control.h"
#include "demo/demo_step.h"
#include "veldane/host.hpp"

namespace {

using namespace std::chrono_literals;
using veldane::DemoStep;

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

// Where a "spin" or "block" step hangs, named so that a hang report can name
// them; never inlined, so that they keep a frame of their own.
namespace veldane {

[[gnu::noinline]] void demoSpin(const std::function<bool()>& stop) {
  volatile uint64_t turns = 0;
  for (;;) {
    turns = turns + 1;
    if ((turns & 0xFFFFFF) == 0 && stop()) return;
  }
}

// Returns once `stop` holds, which a thread of its own checks.
[[gnu::noinline]] void demoBlockInRead(const std::function<bool()>& stop) {
  int ends[2];
  if (pipe(ends) != 0) return;
  std::thread watcher([&stop, write = ends[1]] {
    while (!stop()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    [[maybe_unused]] ssize_t done = ::write(write, "x", 1);
  });
  char byte = 0;
  [[maybe_unused]] ssize_t got = read(ends[0], &byte, 1);
  watcher.join();
}

}  // namespace veldane

int main(int argc, char** argv) {
  const char* folder = environment("VELDANE_DEMO_CONTROL");
  if (folder == nullptr) {
    std::fprintf(stderr, "veldane-demo-host: VELDANE_DEMO_CONTROL names no control folder\n");
    return 2;
  }
  // A planned crash must not leave a core file behind.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  const veldane::DemoControl control{folder};
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const size_t launch = control.logLaunch(getpid(), arguments);
  const DemoStep step = control.step(launch);
  const nlohmann::json who = {{"pid", getpid()}, {"launch", launch}, {"arguments", arguments}};
  auto note = [&](const std::string& event, nlohmann::json fields = nlohmann::json::object()) {
    fields.update(who);
    control.note(event, std::move(fields));
  };

  veldane::HostStartOptions options;
  if (const char* identifier = environment("VELDANE_DEMO_IDENTIFIER")) {
    options.bundleIdentifier = identifier;
  }
  std::string failure;
  const auto session = veldane::HostSession::start(argc, argv, options, &failure);
  if (!session) {
    note("failed", {{"reason", failure}});
    return 2;
  }
  note("started", {{"step", step.text()},
                   {"recovered", session->recovered()},
                   {"safeMode", session->safeMode()},
                   {"launchID", session->launchID()},
                   {"dataFolder", session->dataFolder()}});
  if (step.action == DemoStep::Action::reset) {
    session->resetCrashLoop();
    note("crashLoopReset");
  }

  // Should whoever runs the demo die without its clean-up, its hosts end too.
  const char* owner = environment("VELDANE_DEMO_OWNER");
  auto ownerGone = [owner] { return owner && kill(std::atoi(owner), 0) != 0 && errno == ESRCH; };

  if (step.forks && fork() == 0) {
    // A worker of the same program, left behind when the host ends.
    while (!ownerGone()) std::this_thread::sleep_for(200ms);
    _exit(0);
  }

  const bool timed = step.action == DemoStep::Action::crash ||
                     step.action == DemoStep::Action::exit || step.hangs();
  const auto due = std::chrono::steady_clock::now() + std::chrono::duration<double>(step.seconds);
  bool hung = false;
  for (;;) {
    if (ownerGone()) {
      note("ownerGone");
      return 3;
    }
    if (timed && std::chrono::steady_clock::now() >= due) {
      if (!step.hangs()) break;
      if (!hung) {
        // The curtain's shorter limit makes the watchdog notice soon.
        session->setCurtainUp(true);
        note("hung", {{"how", step.text()}});
        hung = true;
        if (step.action == DemoStep::Action::spin) veldane::demoSpin(ownerGone);
        if (step.action == DemoStep::Action::block) veldane::demoBlockInRead(ownerGone);
      }
    }
    if (!hung) session->beat();
    std::this_thread::sleep_for(200ms);
  }
  if (step.action == DemoStep::Action::crash) {
    note("crashing");
    std::abort();
  }
  session->markCleanExit();
  note("cleanExit");
  return 0;
}
