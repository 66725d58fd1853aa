#include "platform/test/fake_platform.h"

#include <algorithm>
#include <csignal>
#include <new>

namespace veldane {

// A timer or an exit watch: destroying it cancels either. A timer cannot be
// re-armed (reschedule() says so), so the supervisor, which tries that
// first, makes a new one for each tick here.
struct FakePlatform::Handle : Timer, ProcessExitWatch {
  Handle(FakePlatform& fake, Key key) : fake_(fake), key_(key) {}
  ~Handle() override {
    fake_.entries_.erase(key_);
    fake_.watches_.erase(key_.second);
  }

  bool sendSignal(int signal) override {
    const int32_t pid = fake_.watches_.at(key_.second).first;
    fake_.signalsSent.push_back({pid, signal});
    if (signal == SIGKILL) fake_.endProcess(pid);
    return true;
  }

  FakePlatform& fake_;
  Key key_;
};

FakePlatform::Key FakePlatform::add(double delay, Callback work, double tolerance) {
  const Key key{time_ + delay, nextOrder_++};
  entries_[key] = {std::move(work), tolerance};
  return key;
}

std::unique_ptr<MainLoop::Timer> FakePlatform::oneShotTimer(Seconds delay, Seconds tolerance,
                                                            Callback callback) {
  if (timersFail) return nullptr;
  return std::make_unique<Handle>(*this,
                                  add(delay.count(), std::move(callback), tolerance.count()));
}

std::unique_ptr<MainLoop::ProcessExitWatch> FakePlatform::watchProcessExit(int32_t pid,
                                                                           Callback onExit) {
  if (unwatchable.contains(pid)) return nullptr;
  const Key key{-1, nextOrder_++};
  watches_[key.second] = {pid, std::move(onExit)};
  return std::make_unique<Handle>(*this, key);
}

void FakePlatform::advance(double seconds) {
  const double target = time_ + seconds;
  while (!exitStatus && !entries_.empty() && entries_.begin()->first.first <= target) {
    // Taken out first: a timer destroyed by its own work finds no entry.
    auto node = entries_.extract(entries_.begin());
    time_ = std::max(time_, node.key().first);
    node.mapped().first();
  }
  if (!exitStatus) time_ = std::max(time_, target);
}

void FakePlatform::endProcess(int32_t pid) {
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

bool FakePlatform::kill(int32_t pid, int signal) {
  killed.push_back({pid, signal});
  if (signal == SIGKILL && processes.contains(pid)) endProcess(pid);
  return true;
}

std::optional<std::pair<double, double>> FakePlatform::nextTimer() const {
  for (const auto& [key, entry] : entries_) {
    if (entry.second >= 0) return std::pair(key.first - time_, entry.second);
  }
  return std::nullopt;
}

WatchdogDate FakePlatform::now() {
  if (nowThrowsTimes > 0) {
    --nowThrowsTimes;
    throw std::bad_alloc();
  }
  return WatchdogDate(std::chrono::seconds(1'780'000'000)) +
         std::chrono::duration_cast<WatchdogDate::duration>(std::chrono::duration<double>(time_));
}

void FakePlatform::openApplication(const std::string& /*bundlePath*/,
                                   const std::vector<std::string>& arguments,
                                   OpenCompletion completion) {
  opened.push_back(arguments);
  openedAt.push_back(time_);
  std::optional<std::string> error;
  if (failingOpenings > 0) {
    --failingOpenings;
    error = "no such file";
  }
  if (!error && onOpen) onOpen();
  post([completion = std::move(completion), error] { completion(error); });
}

}  // namespace veldane
