// In-process benchmarks of the supervisor on the real Linux platform (the
// sd-event loop, /proc, the files) against a live bench host. Heap
// allocations are counted for the whole process, C libraries included.
//
//   VELDANE_BENCH_REAL_TICKS=N        ticks measured through the real 1 s timer (5)
//   VELDANE_BENCH_REACTIONS=N         host deaths for the reaction benchmark (20)
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "VeldaneWatchdog/watchdog_supervisor.h"
#include "bench/allocation_counter.h"
#include "bench/bench_world.h"
#include "bench/stepped_loop.h"
#include "platform/application_support.h"
#include "platform/file_identity.h"
#include "platform/linux/journal_log_channel.h"
#include "platform/linux/linux_hang_inspector.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/plist_bundle_reader.h"
#include "platform/process_info.h"
#include "platform/real_system_probes.h"
#include "policy/watchdog_policy.h"
#include "state/host_run_record.h"
#include "state/watchdog_files.h"
#include "state/watchdog_store.h"

namespace veldane::bench {
namespace {

std::unique_ptr<BenchWorld> gWorld;

// The Linux workspace, noting when the opening of a bundle begins and ends.
class NotingWorkspace final : public Workspace {
 public:
  NotingWorkspace(MainLoop& loop, BundleReader& bundles) : real_(loop, bundles) {}

  std::vector<RunningApplication> runningApplications(const std::string& identifier) override {
    return real_.runningApplications(identifier);
  }
  void openApplication(const std::string& bundlePath, const std::vector<std::string>& arguments,
                       OpenCompletion completion) override {
    openStarted = monotonicNanoseconds();
    real_.openApplication(bundlePath, arguments, std::move(completion));
    openEnded = monotonicNanoseconds();
  }

  int64_t openStarted = 0;
  int64_t openEnded = 0;

 private:
  LinuxWorkspace real_;
};

// The supervisor as main() builds it, on a loop the benchmark turns.
struct LiveSupervisor {
  explicit LiveSupervisor(double timerScale)
      : loop(timerScale), workspace(loop, bundles), log("com.veldane.bench"), hangs(loop.real(), "") {
    supervisor = WatchdogSupervisor::create(gWorld->helperPath(),
                                            {loop, probes, workspace, bundles, log, hangs});
    if (!supervisor) throw std::runtime_error("no supervisor for the bench bundle");
    supervisor->run();
  }

  // Turns the loop until `done` or `seconds` have passed; false on timeout.
  bool stepUntil(const std::function<bool()>& done, double seconds) {
    const int64_t until = monotonicNanoseconds() + static_cast<int64_t>(seconds * 1e9);
    while (!done()) {
      if (monotonicNanoseconds() > until) return false;
      loop.step(Seconds{0.01});
    }
    return true;
  }

  bool watchingCurrentHost() {
    const pid_t host = gWorld->stamps().back().pid;
    return stepUntil([&] { return loop.watchedPid() == host; }, 10);
  }

  void tickOnce() {
    const uint64_t before = loop.timerFirings();
    while (loop.timerFirings() == before) loop.step(Seconds{10});
  }

  SteppedLoop loop;
  RealSystemProbes probes;
  PlistBundleReader bundles;
  NotingWorkspace workspace;
  JournalLogChannel log;
  LinuxHangInspector hangs;  // no stack helper: the bench judges no hang
  std::shared_ptr<WatchdogSupervisor> supervisor;
};

void reportAllocations(benchmark::State& state, const AllocationCount& count) {
  using benchmark::Counter;
  state.counters["allocs"] = Counter(static_cast<double>(count.calls), Counter::kAvgIterations);
  state.counters["alloc_bytes"] =
      Counter(static_cast<double>(count.bytes), Counter::kAvgIterations);
}

// Each iteration is one whole steady tick through the real timer, the real
// files and /proc, with the host alive and watched. `timerScale` 0 arms the
// tick timer with no delay, so that ticks run back to back; 1 keeps the real
// 1 s timer (the host keeps its curtain up).
void BM_SteadyTick(benchmark::State& state, double timerScale) {
  LiveSupervisor live(timerScale);
  if (!live.watchingCurrentHost()) return state.SkipWithError("host not watched");
  live.tickOnce();
  AllocationCounter::start();
  for (auto _ : state) live.tickOnce();
  reportAllocations(state, AllocationCounter::stop());
}

// The pieces of a steady tick, one by one.
struct Pieces {
  std::string helper = gWorld->helperPath();
  std::string bundle = *WatchdogFiles::hostBundlePath(helper);
  WatchdogFiles files =
      WatchdogFiles::forBundle(*applicationSupportDirectory(), "com.veldane.bench", bundle);
  std::filesystem::path record = files.hostRecordPath();
  int32_t host = gWorld->stamps().back().pid;
  std::string hostPath = *ProcessInfo::executablePath(host);
};

template <typename Work>
void measurePiece(benchmark::State& state, Work work) {
  AllocationCounter::start();
  for (auto _ : state) benchmark::DoNotOptimize(work());
  reportAllocations(state, AllocationCounter::stop());
}

void BM_StatOwnExecutable(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return FileIdentity::atPath(p.helper); });
}

void BM_ReadRecordFile(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return WatchdogStore::readFile(p.record); });
}

void BM_ReadAndDecodeRecord(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return WatchdogStore::read<HostRunRecord>(p.record); });
}

void BM_ExecutableLookup(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return ProcessInfo::executablePath(p.host); });
}

void BM_Normalized(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return WatchdogFiles::normalized(p.hostPath); });
}

void BM_TracedLookup(benchmark::State& state) {
  Pieces p;
  measurePiece(state, [&] { return ProcessInfo::isTraced(p.host); });
}

void BM_PolicyDecide(benchmark::State& state) {
  Pieces p;
  WatchdogObservation observation;
  observation.record = WatchdogStore::read<HostRunRecord>(p.record);
  observation.ownedBundlePath = p.bundle;
  observation.recordProcessAlive = true;
  observation.bootSession = ProcessInfo::bootSession();
  observation.now = std::chrono::system_clock::now();
  observation.uptime = Seconds(observation.record->heartbeatUptime);
  WatchdogLedger ledger;
  ledger.bootSession = observation.bootSession;
  WatchdogPolicy policy;
  measurePiece(state, [&] { return policy.decide(observation, ledger); });
}

// The nearest-rank 99th percentile.
double p99(const std::vector<double>& values) {
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// One host death per repetition: the host is killed while watched; the time
// is from the kill to the exit watch's delivery, which runs the judging tick
// at once. The counters add the end of that tick and the relaunched host,
// whose launch the design delays by 1.0 s.
void BM_HostDeathToJudgingTick(benchmark::State& state) {
  static LiveSupervisor* live = new LiveSupervisor(1.0);
  for (auto _ : state) {
    if (!live->watchingCurrentHost()) return state.SkipWithError("host not watched");
    const size_t started = gWorld->stamps().size();
    const pid_t host = gWorld->stamps().back().pid;
    const int64_t killed = monotonicNanoseconds();
    kill(host, SIGKILL);
    if (!live->stepUntil([&] { return live->loop.lastExitDelivered() > killed; }, 10)) {
      return state.SkipWithError("the exit watch did not deliver");
    }
    const int64_t delivered = live->loop.lastExitDelivered();
    const int64_t judged = monotonicNanoseconds();  // the tick ran inside the delivery
    if (!live->stepUntil([&] { return gWorld->stamps().size() > started; }, 10)) {
      return state.SkipWithError("no relaunched host");
    }
    const BenchWorld::Stamp next = gWorld->stamps()[started];
    gWorld->reapExitedChildren();
    state.SetIterationTime(static_cast<double>(delivered - killed) / 1e9);
    const auto ms = [](int64_t from, int64_t to) { return static_cast<double>(to - from) / 1e6; };
    const SteppedLoop& loop = live->loop;
    // The way from the death to the relaunched host, step by step.
    state.counters["1_tick_ms"] = ms(delivered, judged);
    state.counters["2_delay_late_ms"] = ms(loop.lastDelayedDue(), loop.lastDelayedRan());
    state.counters["3_scan_ms"] = ms(loop.lastDelayedRan(), live->workspace.openStarted);
    state.counters["4_open_ms"] = ms(live->workspace.openStarted, live->workspace.openEnded);
    state.counters["5_host_main_ms"] = ms(live->workspace.openEnded, next.entered);
    state.counters["main_beyond_1s_ms"] = ms(killed, next.entered) - 1000;
    state.counters["recorded_beyond_1s_ms"] = ms(killed, next.recorded) - 1000;
  }
}

int fromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

}  // namespace
}  // namespace veldane::bench

int main(int argc, char** argv) {
  using namespace veldane::bench;
  using benchmark::RegisterBenchmark;
  gWorld = std::make_unique<BenchWorld>(VELDANE_BENCH_HOST, /*curtainUp=*/true);

  RegisterBenchmark("SteadyTick", BM_SteadyTick, 0.0);
  RegisterBenchmark("SteadyTickRealTimer", BM_SteadyTick, 1.0)
      ->Iterations(fromEnvironment("VELDANE_BENCH_REAL_TICKS", 5));
  RegisterBenchmark("Piece/StatOwnExecutable", BM_StatOwnExecutable);
  RegisterBenchmark("Piece/ReadRecordFile", BM_ReadRecordFile);
  RegisterBenchmark("Piece/ReadAndDecodeRecord", BM_ReadAndDecodeRecord);
  RegisterBenchmark("Piece/ExecutableLookup", BM_ExecutableLookup);
  RegisterBenchmark("Piece/Normalized", BM_Normalized);
  RegisterBenchmark("Piece/TracedLookup", BM_TracedLookup);
  RegisterBenchmark("Piece/PolicyDecide", BM_PolicyDecide);
  RegisterBenchmark("HostDeathToJudgingTick", BM_HostDeathToJudgingTick)
      ->Iterations(1)
      ->Repetitions(fromEnvironment("VELDANE_BENCH_REACTIONS", 20))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->ComputeStatistics("p99", p99)
      ->ReportAggregatesOnly(true);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gWorld.reset();
  return 0;
}
