// Crash after crash: every crash is relaunched, and the watchdog's open
// descriptors, resident memory and processes stay flat, with no zombie left.
//
//   VELDANE_SOAK_CYCLES   crashes to cause (default 15; 0 with a time limit: no limit)
//   VELDANE_SOAK_MINUTES  stop after this many minutes as well (default none)
//   VELDANE_SOAK_REPORT   print the figures of every Nth crash
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

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
  long descriptors = 0;
  long residentKiB = 0;
  size_t processes = 0;
  size_t zombies = 0;
};

class WatchdogSoak : public WatchdogHarness {
 protected:
  static constexpr int kWarmUp = 3;
  static constexpr long kDescriptorTolerance = 1;  // the exit watch of a host not yet seen
  static constexpr long kResidentToleranceKiB = 512;

  // The watchdog's, and of every process this test owns: the watchdog, the
  // hosts handed over to this subreaper, and their children.
  Figures measure(pid_t watchdog) const {
    Figures figures;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(watchdog) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
      ++figures.descriptors;
    }
    std::ifstream status("/proc/" + std::to_string(watchdog) + "/status");
    for (std::string key; status >> key;) {
      if (key == "VmRSS:") status >> figures.residentKiB;
    }
    std::vector<pid_t> owned = childrenOf(getpid());
    for (size_t i = 0; i < owned.size(); ++i) {
      for (pid_t child : childrenOf(owned[i])) owned.push_back(child);
    }
    for (pid_t pid : owned) {
      std::optional<ProcessFacts> process = facts(pid);
      if (process && process->state == 'Z') ++figures.zombies;
    }
    figures.processes = owned.size();
    return figures;
  }
};

TEST_F(WatchdogSoak, CrashRelaunchCyclesLeaveNothingBehind) {
  const long cycles = setting("VELDANE_SOAK_CYCLES", 15);
  const long minutes = setting("VELDANE_SOAK_MINUTES", 0);
  const long every = setting("VELDANE_SOAK_REPORT", 0);
  ASSERT_TRUE(cycles > kWarmUp || (cycles == 0 && minutes > 0)) << "too few cycles";
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::minutes(minutes);

  // Every run lifts a crash-loop stop: the third crash in a row is launched
  // in safe mode, that run resets, and its crash is relaunched again.
  writePlan({"reset"});
  fs::remove(files_.ledgerPath());
  const pid_t watchdog = startWatchdog();
  startHost();

  Figures baseline;
  Figures worst;
  Figures last;
  long done = 0;
  while ((cycles == 0 || done < cycles) &&
         (minutes == 0 || std::chrono::steady_clock::now() < end)) {
    ASSERT_TRUE(waitFor([&] { return !launches().empty(); }));
    const pid_t host = launches().back().pid;
    ASSERT_TRUE(waitFor([&] {
      std::optional<HostRunRecord> record = hostRecord();
      std::optional<WatchdogLedger> book = ledger();
      return record && record->pid == host && record->crashLoopResetAt && book && !book->stoppedAt;
    })) << "crash "
        << done + 1 << ": the host's reset never lifted the stop";
    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_TRUE(waitExit(host));
    ++done;
    ASSERT_TRUE(waitFor([&] { return launches().size() > static_cast<size_t>(done); }, 10s))
        << "crash " << done << " was not relaunched";
    ASSERT_TRUE(running(watchdog));

    last = measure(watchdog);
    EXPECT_EQ(last.zombies, 0u) << "crash " << done;
    if (done <= kWarmUp) {
      baseline.descriptors = std::max(baseline.descriptors, last.descriptors);
      baseline.residentKiB = std::max(baseline.residentKiB, last.residentKiB);
      baseline.processes = std::max(baseline.processes, last.processes);
    } else {
      EXPECT_LE(last.descriptors, baseline.descriptors + kDescriptorTolerance) << "crash " << done;
#ifndef VELDANE_E2E_SANITIZED
      // AddressSanitizer's quarantine keeps freed memory resident on purpose;
      // there LeakSanitizer watches for leaks instead.
      EXPECT_LE(last.residentKiB, baseline.residentKiB + kResidentToleranceKiB) << "crash " << done;
#endif
      EXPECT_LE(last.processes, baseline.processes) << "crash " << done;
    }
    worst.descriptors = std::max(worst.descriptors, last.descriptors);
    worst.residentKiB = std::max(worst.residentKiB, last.residentKiB);
    worst.processes = std::max(worst.processes, last.processes);
    if (every > 0 && done % every == 0) {
      std::printf("soak: crash %ld  descriptors %ld  VmRSS %ld KiB  processes %zu  zombies %zu\n",
                  done, last.descriptors, last.residentKiB, last.processes, last.zombies);
      std::fflush(stdout);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "soak: %ld crashes, %zu launches in %.0f s; watchdog descriptors %ld after warm-up, at most "
      "%ld, last %ld; VmRSS %ld KiB after warm-up, at most %ld, last %ld; processes at most %zu\n",
      done, launches().size(), seconds, baseline.descriptors, worst.descriptors, last.descriptors,
      baseline.residentKiB, worst.residentKiB, last.residentKiB, worst.processes);
  EXPECT_EQ(launches().size(), static_cast<size_t>(done + 1));
}

}  // namespace
}  // namespace veldane
