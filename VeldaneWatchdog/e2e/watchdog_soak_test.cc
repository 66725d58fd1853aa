// Crash after crash: every crash is relaunched, and the watchdog's open
// descriptors, resident memory and processes stay flat, with no zombie left.
// A short smoke in the test run; scripts/soak runs it long.
//
//   VELDANE_SOAK_CYCLES   crashes to cause (default 6; 0 with a time limit: no limit)
//   VELDANE_SOAK_MINUTES  stop after this many minutes as well (default none)
//   VELDANE_SOAK_REPORT   print the figures of every Nth crash
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

long setting(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

struct Figures {
  long descriptors = 0, residentKiB = 0;
  size_t processes = 0, zombies = 0;
};

class WatchdogSoak : public WatchdogHarness {
 protected:
  // The watchdog's, and of every process this test owns: the watchdog, the
  // hosts handed over to this subreaper, and their children.
  Figures measure(pid_t watchdog) const {
    Figures figures;
    const std::string proc = "/proc/" + std::to_string(watchdog);
    std::error_code error;
    for (auto it = fs::directory_iterator(proc + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      ++figures.descriptors;
    }
    std::ifstream status(proc + "/status");
    for (std::string key; status >> key;) {
      if (key == "VmRSS:") status >> figures.residentKiB;
    }
    std::vector<pid_t> owned = childrenOf(getpid());
    for (size_t i = 0; i < owned.size(); ++i) {
      for (pid_t child : childrenOf(owned[i])) owned.push_back(child);
    }
    for (pid_t pid : owned) figures.zombies += facts(pid) && facts(pid)->state == 'Z';
    figures.processes = owned.size();
    return figures;
  }
};

TEST_F(WatchdogSoak, CrashRelaunchCyclesLeaveNothingBehind) {
  constexpr long kWarmUp = 3;
  const long cycles = setting("VELDANE_SOAK_CYCLES", 6);
  const long minutes = setting("VELDANE_SOAK_MINUTES", 0);
  const long every = setting("VELDANE_SOAK_REPORT", 0);
  ASSERT_TRUE(cycles > kWarmUp || (cycles == 0 && minutes > 0)) << "too few cycles";
  const auto start = std::chrono::steady_clock::now();

  // Every run lifts a crash-loop stop, so that every crash is relaunched.
  writePlan({"reset"});
  const pid_t watchdog = startWatching();
  startHost();
  ASSERT_TRUE(launchesReach(1));
  Figures baseline, worst, last;
  long done = 0;
  while ((cycles == 0 || done < cycles) &&
         (minutes == 0 || std::chrono::steady_clock::now() < start + std::chrono::minutes(minutes))) {
    const pid_t host = launches().back().pid;
    ASSERT_TRUE(waitFor([&] {
      std::optional<HostRunRecord> record = hostRecord();
      std::optional<WatchdogLedger> book = ledger();
      return record && record->pid == host && record->crashLoopResetAt && book && !book->stoppedAt;
    })) << "crash " << done + 1 << ": the host's reset never lifted the stop";
    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_TRUE(waitExit(host));
    ASSERT_TRUE(launchesReach(static_cast<size_t>(++done) + 1, 10s)) << "crash " << done;

    last = measure(watchdog);
    EXPECT_EQ(last.zombies, 0u) << "crash " << done;
    Figures& kept = done <= kWarmUp ? baseline : worst;
    if (done > kWarmUp) {
      // One descriptor more: the exit watch of a host not yet seen.
      EXPECT_LE(last.descriptors, baseline.descriptors + 1) << "crash " << done;
#ifndef VELDANE_E2E_SANITIZED
      // AddressSanitizer's quarantine keeps freed memory resident on purpose.
      EXPECT_LE(last.residentKiB, baseline.residentKiB + 512) << "crash " << done;
#endif
      EXPECT_LE(last.processes, baseline.processes) << "crash " << done;
    }
    kept.descriptors = std::max(kept.descriptors, last.descriptors);
    kept.residentKiB = std::max(kept.residentKiB, last.residentKiB);
    kept.processes = std::max(kept.processes, last.processes);
    if (every > 0 && done % every == 0) {
      std::printf("soak: crash %ld  descriptors %ld  VmRSS %ld KiB  processes %zu\n", done,
                  last.descriptors, last.residentKiB, last.processes);
      std::fflush(stdout);
    }
  }
  std::printf(
      "soak: %ld crashes in %.0f s; watchdog descriptors %ld after warm-up, at most %ld later; "
      "VmRSS %ld KiB after warm-up, at most %ld later; processes at most %zu\n",
      done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
      baseline.descriptors, worst.descriptors, baseline.residentKiB, worst.residentKiB,
      std::max(baseline.processes, worst.processes));
  EXPECT_EQ(launches().size(), static_cast<size_t>(done + 1));
}

}  // namespace
}  // namespace veldane
