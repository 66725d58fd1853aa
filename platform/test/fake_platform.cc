#include "platform/test/fake_platform.h"

#include <algorithm>
#include <csignal>
#include <new>

namespace veldane {

// Cannot be re-armed: the supervisor makes a new one for each tick.
class FakeMainLoop::FakeTimer : public MainLoop::Timer {
 public:
  FakeTimer(FakeMainLoop& loop, Key key) : loop_(loop), key_(key) {}
  ~FakeTimer() override { loop_.entries_.erase(key_); }

 private:
  FakeMainLoop& loop_;
  Key key_;
};

class FakeMainLoop::FakeWatch : public MainLoop::ProcessExitWatch {
 public:
  FakeWatch(FakeMainLoop& loop, uint64_t id) : loop_(loop), id_(id) {}
  ~FakeWatch() override { loop_.watches_.erase(id_); }

  bool sendSignal(int signal) override {
    const int32_t pid = loop_.watches_.at(id_).first;
    loop_.signalsSent.push_back({pid, signal});
    if (signal == SIGKILL) loop_.endProcess(pid);
    return true;
  }

 private:
  FakeMainLoop& loop_;
  uint64_t id_;
};

FakeMainLoop::Key FakeMainLoop::add(double delay, Callback work, double tolerance) {
  const Key key{time_ + delay, nextOrder_++};
  entries_[key] = {std::move(work), tolerance};
  return key;
}

std::unique_ptr<MainLoop::Timer> FakeMainLoop::oneShotTimer(double delay, double tolerance,
                                                            Callback callback) {
  if (timersFail) return nullptr;
  return std::make_unique<FakeTimer>(*this, add(delay, std::move(callback), tolerance));
}

std::unique_ptr<MainLoop::ProcessExitWatch> FakeMainLoop::watchProcessExit(int32_t pid,
                                                                           Callback onExit) {
  if (pid < 1) return nullptr;
  const uint64_t id = nextOrder_++;
  watches_[id] = {pid, std::move(onExit)};
  return std::make_unique<FakeWatch>(*this, id);
}

void FakeMainLoop::advance(double seconds) {
  const double target = time_ + seconds;
  while (!exitStatus && !entries_.empty() && entries_.begin()->first.first <= target) {
    // Taken out first: a timer destroyed by its own work finds no entry.
    auto node = entries_.extract(entries_.begin());
    time_ = std::max(time_, node.key().first);
    node.mapped().first();
  }
  if (!exitStatus) time_ = std::max(time_, target);
}

void FakeMainLoop::endProcess(int32_t pid) {
  processes.erase(pid);
  for (const auto& [id, watch] : watches_) {
    if (watch.first != pid) continue;
    post([this, id = id] {
      auto it = watches_.find(id);
      if (it == watches_.end()) return;  // cancelled before it fired
      Callback onExit = std::move(it->second.second);
      watches_.erase(it);
      onExit();
    });
  }
}

std::optional<std::pair<double, double>> FakeMainLoop::nextTimer() const {
  for (const auto& [key, entry] : entries_) {
    if (entry.second >= 0) return std::pair(key.first - time_, entry.second);
  }
  return std::nullopt;
}

WatchdogDate FakePlatform::now() {
  if (failingCalls > 0) {
    --failingCalls;
    throw std::bad_alloc();
  }
  const std::chrono::duration<double> elapsed(time());
  return WatchdogDate(std::chrono::seconds(1'780'000'000)) +
         std::chrono::duration_cast<WatchdogDate::duration>(elapsed);
}

void FakePlatform::openApplication(const std::string& /*bundlePath*/,
                                   const std::vector<std::string>& arguments,
                                   OpenCompletion completion) {
  opened.push_back(arguments);
  openedAt.push_back(time());
  std::optional<std::string> error;
  if (!openErrors.empty()) {
    error = openErrors.front();
    openErrors.erase(openErrors.begin());
  }
  if (!error && onOpen) onOpen();
  post([completion = std::move(completion), error] { completion(error); });
}

}  // namespace veldane
