#include "platform/test/fake_platform.h"

#include <csignal>
#include <limits>
#include <new>

namespace veldane {

class FakeMainLoop::FakeTimer : public MainLoop::Timer {
 public:
  FakeTimer(FakeMainLoop& loop, Callback callback)
      : loop_(loop), callback_(std::make_shared<Callback>(std::move(callback))) {}
  ~FakeTimer() override { cancel(); }

  bool reschedule(double delay, double tolerance) override {
    if (loop_.timersFail) return false;
    cancel();
    entry_ = loop_.add(
        delay, [callback = callback_] { (*callback)(); }, true, tolerance);
    return true;
  }

 private:
  void cancel() {
    if (auto entry = entry_.lock()) entry->cancelled = true;
  }

  FakeMainLoop& loop_;
  // Shared with the pending entry, which may outlive this handle while it runs.
  std::shared_ptr<Callback> callback_;
  std::weak_ptr<Entry> entry_;
};

class FakeMainLoop::FakeWatch : public MainLoop::ProcessExitWatch {
 public:
  FakeWatch(FakeMainLoop& loop, uint64_t id, int32_t pid) : loop_(loop), id_(id), pid_(pid) {}
  ~FakeWatch() override { loop_.watches_.erase(id_); }

  bool sendSignal(int signal) override {
    loop_.signals_.push_back({pid_, signal});
    if (signal == SIGKILL) {
      if (loop_.onProcessKilled) loop_.onProcessKilled(pid_);
      loop_.endProcess(pid_);
    }
    return true;
  }

 private:
  FakeMainLoop& loop_;
  uint64_t id_;
  int32_t pid_;
};

namespace {

class FakeSubscription : public MainLoop::Subscription {};

}  // namespace

std::shared_ptr<FakeMainLoop::Entry> FakeMainLoop::add(double delay, Callback work, bool isTimer,
                                                       double tolerance) {
  auto entry = std::make_shared<Entry>(
      Entry{nextOrder_++, time_ + delay, std::move(work), isTimer, tolerance});
  entries_.push_back(entry);
  return entry;
}

std::unique_ptr<MainLoop::Timer> FakeMainLoop::oneShotTimer(double delay, double tolerance,
                                                            Callback callback) {
  if (timersFail) return nullptr;
  auto timer = std::make_unique<FakeTimer>(*this, std::move(callback));
  timer->reschedule(delay, tolerance);
  return timer;
}

void FakeMainLoop::runAfter(double delay, Callback work) { add(delay, std::move(work), false, 0); }

void FakeMainLoop::post(Callback work) { add(0, std::move(work), false, 0); }

std::unique_ptr<MainLoop::ProcessExitWatch> FakeMainLoop::watchProcessExit(int32_t pid,
                                                                           Callback onExit) {
  if (pid < 1) return nullptr;
  uint64_t id = nextWatch_++;
  watches_[id] = {pid, std::move(onExit)};
  return std::make_unique<FakeWatch>(*this, id, pid);
}

std::unique_ptr<MainLoop::Subscription> FakeMainLoop::observePowerOff(Callback onPowerOff) {
  powerOffObservers_.push_back(std::move(onPowerOff));
  return std::make_unique<FakeSubscription>();
}

void FakeMainLoop::exitProcess(int status) {
  if (!exitStatus_) exitStatus_ = status;
}

void FakeMainLoop::advance(double seconds) {
  const double target = time_ + seconds;
  while (!exitStatus_) {
    auto next = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      const Entry& e = **it;
      if (e.cancelled || e.due > target) continue;
      if (next == entries_.end() || e.due < (*next)->due ||
          (e.due == (*next)->due && e.order < (*next)->order)) {
        next = it;
      }
    }
    if (next == entries_.end()) break;
    std::shared_ptr<Entry> entry = *next;
    entries_.erase(next);
    if (entry->due > time_) time_ = entry->due;
    entry->work();
  }
  std::erase_if(entries_, [](const auto& e) { return e->cancelled; });
  if (!exitStatus_ && target > time_) time_ = target;
}

void FakeMainLoop::endProcess(int32_t pid) {
  for (auto& [id, watch] : watches_) {
    if (watch.pid != pid) continue;
    post([this, id = id] {
      auto it = watches_.find(id);
      if (it == watches_.end()) return;  // cancelled before it fired
      Callback onExit = std::move(it->second.onExit);
      watches_.erase(it);
      onExit();
    });
  }
}

void FakeMainLoop::announcePowerOff() {
  for (auto& observer : powerOffObservers_) post(observer);
}

size_t FakeMainLoop::pendingTimers() const {
  size_t n = 0;
  for (const auto& e : entries_) n += e->isTimer && !e->cancelled;
  return n;
}

const FakeMainLoop::Entry* FakeMainLoop::earliestTimer() const {
  const Entry* best = nullptr;
  for (const auto& e : entries_) {
    if (e->isTimer && !e->cancelled && (!best || e->due < best->due)) best = e.get();
  }
  return best;
}

std::optional<double> FakeMainLoop::nextTimerIn() const {
  const Entry* e = earliestTimer();
  if (!e) return std::nullopt;
  return e->due - time_;
}

std::optional<double> FakeMainLoop::nextTimerTolerance() const {
  const Entry* e = earliestTimer();
  if (!e) return std::nullopt;
  return e->tolerance;
}

bool FakeMainLoop::watching(int32_t pid) const {
  for (const auto& [id, watch] : watches_) {
    if (watch.pid == pid) return true;
  }
  return false;
}

std::optional<std::string> FakeSystemProbes::executablePath(int32_t target) {
  ++calls["executablePath"];
  if (target < 1) return std::nullopt;
  auto it = processes.find(target);
  if (it == processes.end()) return std::nullopt;
  return it->second;
}

std::optional<FileIdentity> FakeSystemProbes::fileIdentity(const std::string& path) {
  ++calls["fileIdentity"];
  auto it = files.find(path);
  if (it == files.end()) return std::nullopt;
  return it->second;
}

bool FakeSystemProbes::kill(int32_t target, int signal) {
  kills.push_back({target, signal});
  if (!processes.contains(target)) return false;
  if (signal == SIGKILL) {
    processes.erase(target);
    loop_.endProcess(target);
  }
  return true;
}

WatchdogDate FakeSystemProbes::now() {
  if (failingCalls > 0) {
    --failingCalls;
    throw std::bad_alloc();
  }
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(loop_.time()));
  return wallAtStart + elapsed;
}

std::vector<RunningApplication> FakeWorkspace::runningApplications(const std::string& identifier) {
  ++scans;
  auto it = applications.find(identifier);
  if (it == applications.end()) return {};
  return it->second;
}

void FakeWorkspace::openApplication(const std::string& bundlePath,
                                    const std::vector<std::string>& arguments,
                                    OpenCompletion completion) {
  Open open{bundlePath, arguments, loop_.time()};
  opens.push_back(open);
  std::optional<std::string> error;
  if (!openErrors.empty()) {
    error = openErrors.front();
    openErrors.erase(openErrors.begin());
  }
  if (!error && onOpen) onOpen(open);
  loop_.post([completion = std::move(completion), error] { completion(error); });
}

HostCpuSample FakeHangInspector::sampleCpu(int32_t pid) {
  samples.emplace_back(pid, loop_.time());
  auto it = cpu.find(pid);
  return it == cpu.end() ? HostCpuSample{} : it->second;
}

void FakeHangInspector::snapshot(int32_t pid, double budget, Completion done) {
  requests.push_back({pid, budget, loop_.time(), loop_.signalsSent().size()});
  if (answerAtOnce) {
    done(answer);
  } else {
    waiting_.push_back(std::move(done));
  }
}

void FakeHangInspector::complete(HostHangSnapshot snapshot) {
  if (waiting_.empty()) return;
  Completion done = std::move(waiting_.front());
  waiting_.erase(waiting_.begin());
  done(std::move(snapshot));
}

std::optional<BundleInfo> FakeBundleReader::open(const std::string& bundlePath) {
  auto it = bundles.find(bundlePath);
  if (it == bundles.end()) return std::nullopt;
  return it->second;
}

}  // namespace veldane
